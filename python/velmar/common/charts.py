"""The charts' shared steps: matplotlib without a display, and a PNG written
with the package's one atomic write."""

from velmar.common.files import atomic_file


def pyplot():
    """matplotlib.pyplot on the Agg backend, or None where matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


def save_png(plt, fig, path):
    """Writes ``fig`` to ``path`` as a PNG (whole or not at all), closes it
    and returns the path."""
    try:
        with atomic_file(path, "wb") as f:
            fig.savefig(f, format="png")
    finally:
        plt.close(fig)
    return path
