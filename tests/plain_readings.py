"""Plain readings of what the module computes, written with NumPy, OpenCV and
scikit-learn calls only: the tests compare the module against them, and the
benchmarks time the module against them.

The tests import them through helpers.py; the benchmarks put this folder on
their path and import this module.
"""

import cv2
import numpy as np
from sklearn.cluster import KMeans


# --- the image pipeline ---------------------------------------------------------------------

def ref_preprocess(image, preprocessing=True):
    """CLAHE on the lightness channel of LAB, back to BGR, then a bilateral filter."""
    if not preprocessing:
        return image
    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
    clahe = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8))
    lab[:, :, 0] = clahe.apply(lab[:, :, 0])
    bgr = cv2.cvtColor(lab, cv2.COLOR_LAB2BGR)
    return cv2.bilateralFilter(bgr, 9, 75, 75)


def ref_feature(image, lab_space=True):
    return cv2.cvtColor(image, cv2.COLOR_BGR2LAB if lab_space else cv2.COLOR_BGR2RGB)


def ref_apply_mask(image, mask):
    if mask is None:
        return image
    if mask.ndim == 3:
        mask = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)
    mask = ((mask > 128) * 255).astype(np.uint8)
    return cv2.bitwise_and(image, image, mask=mask)


def ref_extract_pixels(image, mask=None):
    """The pixels under the mask's bright area in scan order, all-zero rows dropped."""
    if mask is not None:
        masked = ref_apply_mask(image, mask)
        selection = mask > 128
        if len(mask.shape) == 3:
            selection = cv2.cvtColor(mask.astype(np.uint8), cv2.COLOR_BGR2GRAY) > 128
        pixels = masked[selection]
    else:
        pixels = image.reshape(-1, 3)
    return pixels[~np.all(pixels == 0, axis=1)]


# --- clustering and shares ------------------------------------------------------------------

def ref_kmeans(pixels, n_colors):
    if len(pixels) < n_colors:
        unique_colors = np.unique(pixels.reshape(-1, 3), axis=0)
        return unique_colors, np.arange(len(unique_colors))
    kmeans = KMeans(n_clusters=n_colors, random_state=42, n_init=10)
    labels = kmeans.fit_predict(pixels)
    return kmeans.cluster_centers_, labels


def ref_percentages(labels):
    unique_labels, counts = np.unique(labels, return_counts=True)
    kept = counts[unique_labels != -1]
    return (kept / np.sum(kept) * 100).tolist()


# --- LAB distance and the two target-colour analyses ----------------------------------------

def ref_lab(color):
    """One RGB colour as OpenCV's 8-bit LAB triple."""
    return cv2.cvtColor(np.uint8([[color]]), cv2.COLOR_RGB2LAB)[0][0]


def ref_distance(color1, color2):
    """Euclidean distance of the two colours' 8-bit LAB encodings."""
    lab1 = ref_lab(color1).astype(float)
    lab2 = ref_lab(color2).astype(float)
    return float(np.sqrt(np.sum((lab1 - lab2) ** 2)))


def ref_css_name(color):
    """The CSS colour name nearest to `color`, one name at a time in alphabetical order
    (the first of equally near names wins)."""
    import webcolors

    best, best_distance = None, float("inf")
    for name in sorted(webcolors.names("css3")):
        distance = ref_distance(color, tuple(webcolors.name_to_rgb(name)))
        if distance < best_distance:
            best, best_distance = name, distance
    return best


def ref_closest(target_color, image_colors):
    """The first record nearest to the target, and its distance."""
    target_rgb = np.array(target_color)
    min_distance, closest = float("inf"), None
    for info in image_colors:
        distance = ref_distance(target_rgb, np.array(info["color"]))
        if distance < min_distance:
            min_distance, closest = distance, info
    return closest, min_distance


def ref_similarity_record(closest, distance, threshold):
    """One similarity record from the nearest dominant colour and its distance."""
    if distance <= threshold:
        similarity = max(0, (threshold - distance) / threshold * 100)
        percentage = closest["percentage"] * (similarity / 100)
    else:
        similarity = percentage = 0
    return {
        "percentage": round(percentage, 2),
        "similarity": round(similarity, 2),
        "closest_color": closest["color"],
        "distance": round(distance, 2),
        "found_directly": distance < 10.0,
    }


def ref_match_record(distances, pixels_rgb):
    """One match record from every pixel's distance to the target (a float64 array)."""
    total = len(pixels_rgb)
    very_close, close, somewhat_close = np.sum(distances < 15), np.sum(distances < 30), np.sum(distances < 50)
    closest_idx = np.argmin(distances)
    min_distance = distances[closest_idx]
    return {
        "total_percentage": round(somewhat_close / total * 100, 2),
        "close_percentage": round(close / total * 100, 2),
        "very_close_percentage": round(very_close / total * 100, 2),
        "closest_pixel": tuple(int(c) for c in pixels_rgb[closest_idx]),
        "min_distance": round(min_distance, 2),
        "similarity_score": round(max(0, (50 - min_distance) / 50 * 100), 2),
    }


def ref_pixel_matches(pixels, lab_space, target_colors, distance=ref_distance):
    """The match records of a pixel list, one pixel and one target at a time: each
    pixel back to RGB by a one-pixel conversion, then its distance to each target."""
    if len(pixels) == 0:
        return {}
    if lab_space:
        pixels_rgb = np.array([cv2.cvtColor(np.uint8([[p]]), cv2.COLOR_LAB2RGB)[0][0] for p in pixels])
    else:
        pixels_rgb = pixels
    results = {}
    for name, target in target_colors.items():
        target_array = np.array(target)
        distances = np.array([distance(target_array, p) for p in pixels_rgb])
        results[name] = ref_match_record(distances, pixels_rgb)
    return results
