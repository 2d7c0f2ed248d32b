"""Shared fixtures: Matplotlib's Agg backend, a seeded RNG, small images."""

import os

os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib

matplotlib.use("Agg", force=True)

import numpy as np
import pytest

import chromalens.color_extractor_cy as cy
from chromalens.samples import sample_image_path


@pytest.fixture
def rng():
    """A NumPy generator with a fixed seed, so every run sees the same data."""
    return np.random.default_rng(20261207)


@pytest.fixture
def module():
    """The extension module."""
    return cy


@pytest.fixture
def restore_globals():
    """Snapshot of the module's globals, restored after the test rebinds them."""
    saved = dict(cy.__dict__)
    yield cy.__dict__
    for name in list(cy.__dict__):
        if name not in saved:
            del cy.__dict__[name]
    cy.__dict__.update(saved)


@pytest.fixture(scope="session")
def sample_path():
    return sample_image_path()

