"""Shared fixtures: Matplotlib's Agg backend, a seeded RNG, small images."""

import os

os.environ.setdefault("MPLBACKEND", "Agg")

import matplotlib

matplotlib.use("Agg", force=True)

import numpy as np
import pytest
from threadpoolctl import threadpool_limits

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
    # Re-insert every name in its original order: a name a test deleted would
    # otherwise come back at the end, and the binding order is observable.
    for name, value in saved.items():
        cy.__dict__.pop(name, None)
        cy.__dict__[name] = value


@pytest.fixture(scope="session")
def sample_path():
    return sample_image_path()


@pytest.fixture(scope="module")
def single_threaded_libraries():
    """One BLAS/OpenMP thread for a module's tests (use with `pytest.mark.usefixtures`).
    KMeans's OpenMP workers spin-wait on a busy two-core machine, so small fits
    run faster on one thread; the module and the plain readings run under the
    same limit, so their results stay comparable bit for bit."""
    with threadpool_limits(1):
        yield



# Hypothesis profiles: "ci" is derandomized (the same examples on every run),
# "dev" runs ten times as many random examples (HYPOTHESIS_PROFILE=dev).
from hypothesis import HealthCheck, settings as _hypothesis_settings

_hypothesis_common = dict(
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
_hypothesis_settings.register_profile("ci", max_examples=100, derandomize=True, database=None, **_hypothesis_common)
_hypothesis_settings.register_profile("dev", max_examples=1000, **_hypothesis_common)
_hypothesis_settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
