"""Velmar: self-play training data for a four-player polyomino placement game.

The compiled extensions live in the build tree (``<build>/python/velmar``)
while the pure-Python modules live in the source tree (``python/velmar``);
with both directories on ``sys.path`` they form one package. Its parts, each
importing only from those listed before it:

- ``velmar.rules``: the game rules, a ``Game`` played one tile at a time
  (compiled);
- ``common``: the search settings, the evaluator specification, the server
  options, atomic files;
- ``game``: the position encoding and wire format, training shards, pictures;
- ``net``: the policy/value network (NumPy and PyTorch);
- ``serving``: the batched inference server, its client and the evaluators;
- ``runner``: worker processes of game threads around one server;
- ``selfplay`` (``velmar play``, also on a cluster) and ``arena`` (matches);
- ``learning``: training and the training loop.
"""

from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
