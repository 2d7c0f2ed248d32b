"""Type information for the native module ``chromalens.color_extractor_cy``.

Images are NumPy arrays as OpenCV reads them (H x W x 3, uint8, blue-green-red
order) or paths to image files; colours in arguments and results are RGB.
"""

import numpy
import numpy.typing as npt
from typing import (
    Any,
    Dict as Dict,
    List as List,
    Mapping,
    Optional as Optional,
    SupportsInt,
    Tuple as Tuple,
    Type,
    TypedDict,
    TypeVar,
    Union as Union,
    type_check_only,
)

from typing_extensions import disjoint_base

import cv2 as cv2
import matplotlib.pyplot
from PIL import Image as Image
# scikit-learn ships no type information: these three are typed as Any.
from sklearn.cluster import DBSCAN as DBSCAN, KMeans as KMeans  # type: ignore[import-untyped]
from sklearn.metrics.pairwise import euclidean_distances as euclidean_distances  # type: ignore[import-untyped]
from sklearn.preprocessing import StandardScaler as StandardScaler  # type: ignore[import-untyped]

# The libraries the methods call, bound as module globals; rebinding one of
# them (a stand-in in a test, say) changes what the methods call.
np = numpy
plt = matplotlib.pyplot

_Array = npt.NDArray[Any]
_Record = TypeVar("_Record", bound=Mapping[str, Any])
_Extractor = TypeVar("_Extractor", bound="ColorExtractor")

@type_check_only
class ColorInfo(TypedDict):
    """One dominant colour, as ``extract_colors`` returns it."""

    color: Tuple[int, int, int]
    percentage: float

@type_check_only
class SimilarityRecord(TypedDict):
    """One target colour's entry in ``analyze_color_similarity``'s result.

    "percentage" and "similarity" are the integer 0 when the nearest colour is
    not similar.
    """

    percentage: float
    similarity: float
    closest_color: Tuple[int, int, int]
    distance: float
    found_directly: bool

@type_check_only
class MatchRecord(TypedDict):
    """One target colour's entry in ``find_color_matches``' result.

    The percentages and distances are NumPy float64 scalars (a subclass of
    float); "similarity_score" is the integer 0 when no pixel is within 50.
    """

    total_percentage: float
    close_percentage: float
    very_close_percentage: float
    closest_pixel: Tuple[int, int, int]
    min_distance: float
    similarity_score: float

@disjoint_base
class ColorExtractor:
    def __init__(
        self,
        n_colors: SupportsInt = 5,
        algorithm: Optional[str] = "kmeans",
        preprocessing: object = True,
        lab_space: object = True,
    ) -> None: ...
    def _preprocess_image(self, image: _Array) -> _Array: ...
    def _convert_to_feature_space(self, image: _Array) -> _Array: ...
    def _apply_mask(self, image: _Array, mask: Optional[_Array]) -> _Array: ...
    def _extract_pixels(self, image: _Array, mask: Optional[_Array] = None) -> _Array: ...
    def _cluster_colors_kmeans(self, pixels: _Array) -> Tuple[_Array, _Array]: ...
    def _cluster_colors_dbscan(self, pixels: _Array) -> Tuple[_Array, _Array]: ...
    def _calculate_percentages(self, labels: _Array) -> List[float]: ...
    def extract_colors(self, image: Union[str, _Array], mask: Union[str, _Array, None] = None) -> List[ColorInfo]: ...
    def visualize_colors(self, colors: List[_Record], save_path: Optional[str] = None) -> None: ...
    def _color_distance_lab(self, color1: _Array, color2: _Array) -> float: ...
    def _find_closest_color(
        self, target_color: Tuple[int, int, int], image_colors: List[_Record]
    ) -> Tuple[Optional[_Record], float]: ...
    def analyze_color_similarity(
        self,
        image: Union[str, _Array],
        target_colors: Dict[str, Tuple[int, int, int]],
        mask: Union[str, _Array, None] = None,
        similarity_threshold: float = 50.0,
    ) -> Dict[str, SimilarityRecord]: ...
    def find_color_matches(
        self,
        image: Union[str, _Array],
        target_colors: Dict[str, Tuple[int, int, int]],
        mask: Optional[_Array] = None,
    ) -> Dict[str, MatchRecord]: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    # Type checkers read parameters named "__x" as positional-only; at run time
    # the "__pyx_" parameters here and below also take keywords.
    def __setstate__(self, __pyx_state: Optional[Tuple[Any, ...]]) -> None: ...

def __pyx_unpickle_ColorExtractor(
    __pyx_type: Type[_Extractor], __pyx_checksum: SupportsInt, __pyx_state: Optional[Tuple[Any, ...]]
) -> _Extractor: ...
