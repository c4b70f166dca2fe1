"""Velmar: self-play training data for a four-player polyomino placement game.

The compiled extensions live in the build tree (``<build>/python/velmar``)
while the pure-Python modules live in the source tree (``python/velmar``);
with both directories on ``sys.path`` they form one package:

- ``velmar.rules``: the game rules, a ``Game`` played one tile at a time.
"""

from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
