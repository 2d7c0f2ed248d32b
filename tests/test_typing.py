"""Type information: the stub against the module (stubtest), and mypy --strict
on a program that uses the whole public surface."""

import pathlib
import subprocess
import sys
import textwrap

import pytest

import chromalens.color_extractor_cy as cy

PACKAGE = pathlib.Path(cy.__file__).parent

# Every "# type: ignore[code]" below must be needed: --strict warns about unused
# ones, so a stub that accepted these calls would fail the check.
PROGRAM = textwrap.dedent('''
    from typing import Any, Dict, List, Optional, Tuple, TYPE_CHECKING

    import numpy as np
    import numpy.typing as npt
    from typing_extensions import assert_type

    import chromalens
    import chromalens.color_extractor_cy as cy
    from chromalens import ColorExtractor
    from chromalens.cli import main
    from chromalens.samples import sample_image_path

    if TYPE_CHECKING:
        from chromalens.color_extractor_cy import ColorInfo, MatchRecord, SimilarityRecord


    def run(image: npt.NDArray[np.uint8], mask: Optional[npt.NDArray[np.uint8]]) -> float:
        extractor = ColorExtractor(n_colors=3, algorithm="dbscan", preprocessing=False, lab_space=True)
        ColorExtractor(4.0, None, 0, "")
        colors = extractor.extract_colors(sample_image_path(), mask)
        assert_type(colors, "List[ColorInfo]")
        first = colors[0]
        assert_type(first["color"], Tuple[int, int, int])
        assert_type(first["percentage"], float)
        extractor.visualize_colors(colors)
        extractor.visualize_colors(colors, save_path="chart.png")
        plain: List[Dict[str, Any]] = [{"color": (1, 2, 3), "percentage": 50.0}]
        extractor.visualize_colors(plain, None)

        targets = {"red": (255, 0, 0), "white": (255, 255, 255)}
        similarity = extractor.analyze_color_similarity(image, targets, mask, similarity_threshold=30)
        record = similarity["red"]
        assert_type(record, "SimilarityRecord")
        assert_type(record["found_directly"], bool)
        assert_type(record["closest_color"], Tuple[int, int, int])
        matches = extractor.find_color_matches("photo.jpg", targets, mask=None)
        match = matches["white"]
        assert_type(match, "MatchRecord")
        assert_type(match["closest_pixel"], Tuple[int, int, int])

        closest, distance = extractor._find_closest_color((255, 0, 0), colors)
        assert_type(closest, "Optional[ColorInfo]")
        assert_type(distance, float)
        processed = extractor._preprocess_image(image)
        feature = extractor._convert_to_feature_space(processed)
        pixels = extractor._extract_pixels(extractor._apply_mask(feature, mask), mask=mask)
        centres, labels = extractor._cluster_colors_kmeans(pixels)
        extractor._cluster_colors_dbscan(pixels)
        shares = extractor._calculate_percentages(labels)
        assert_type(shares, List[float])
        reduced = extractor.__reduce__()
        extractor.__setstate__(("kmeans", True, 5, True))
        copy = cy.__pyx_unpickle_ColorExtractor(ColorExtractor, 0x95A985B, None)
        assert_type(copy, ColorExtractor)
        assert_type(chromalens.__version__, str)
        assert_type(main(["--version"]), int)
        return extractor._color_distance_lab(centres[0], centres[-1]) + len(reduced) + shares[0]


    def misuse(extractor: ColorExtractor) -> None:
        extractor.extract_colors(42)  # type: ignore[arg-type]
        extractor.visualize_colors(({"color": (1, 2, 3), "percentage": 1.0},))  # type: ignore[arg-type]
        extractor.visualize_colors([], save_path=b"x.png")  # type: ignore[arg-type]
        extractor.analyze_color_similarity("a.png", [("red", (255, 0, 0))])  # type: ignore[arg-type]
        extractor.find_color_matches("a.png", {"red": (255, 0, 0)}, "mask.png")  # type: ignore[arg-type]
        ColorExtractor(algorithm=5)  # type: ignore[arg-type]
        extractor.extract_colors("a.png")[0]["hue"]  # type: ignore[typeddict-item]
        extractor.nonexistent()  # type: ignore[attr-defined]
''')


def run_tool(args, cwd):
    # Outside the source tree, so the installed package (module, stub, marker) is what is checked.
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=300)


def _mypy_version():
    """mypy's version line, or None with the reason where it cannot run."""
    try:
        done = subprocess.run([sys.executable, "-m", "mypy", "--version"], capture_output=True, text=True,
                              timeout=300)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, str(error)
    if done.returncode != 0:
        return None, (done.stdout + done.stderr).strip()
    return done.stdout.strip(), ""


MYPY_VERSION, MYPY_FAILURE = _mypy_version()
# Only a Python that mypy does not run on skips the checks; there they say why.
needs_mypy = pytest.mark.skipif(MYPY_VERSION is None, reason=f"mypy cannot run here: {MYPY_FAILURE}")


def test_stub_and_marker_are_installed_beside_the_module():
    assert (PACKAGE / "color_extractor_cy.pyi").is_file()
    assert (PACKAGE / "py.typed").is_file()


@needs_mypy
def test_stubtest_reports_nothing(tmp_path):
    done = run_tool(["mypy.stubtest", "chromalens.color_extractor_cy"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found" in done.stdout


@pytest.mark.slow
@needs_mypy
def test_mypy_strict_on_example_program(tmp_path):
    program = tmp_path / "example.py"
    program.write_text(PROGRAM)
    done = run_tool(["mypy", "--strict", "--no-incremental", str(program)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("Success")
