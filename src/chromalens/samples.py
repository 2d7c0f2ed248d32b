"""The bundled sample photograph.

chromalens analyses the photo that ships with Matplotlib's sample data
(``grace_hopper.jpg``, 512 x 600 pixels), so that the command line and the
benchmarks have a real photograph to work on without any download.
"""

from pathlib import Path

__all__ = ["sample_image_path"]


def sample_image_path() -> str:
    """Return the path of the bundled sample photograph."""
    from matplotlib import cbook

    path = Path(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
    if not path.is_file():
        raise FileNotFoundError(f"Matplotlib's sample photograph is missing: {path}")
    return str(path)
