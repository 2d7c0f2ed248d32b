// The per-pixel colour match report.
//
// Read literally, every pixel costs one one-pixel LAB-to-RGB conversion and,
// per target, a distance call with two one-pixel RGB-to-LAB conversions.
// Every one of these per-pixel quantities depends only on the pixel's three
// 8-bit values, and OpenCV's 8-bit conversions give the same bytes in
// whole-array form as in one-pixel form (checked over every 8-bit triple,
// both directions).  So while the module's `np` and `cv2` are the libraries
// bound at import and the pixel list is a plain N x 3 uint8 array, each
// distinct colour of the list is found once, in the order of its first
// pixel and with its pixel count, and the distinct colours are converted as a
// whole.  When the pixel list itself would be taken natively, the distinct
// colours are counted straight from the feature image and mask, and the
// list is written out only if a target needs the per-pixel reading.
// While, in addition, `self` does not override
// `_color_distance_lab`, each target's LAB triple is taken once through the
// same one-pixel steps (so NumPy's conversion rules for odd targets still
// apply) and the bands and nearest pixel come from one native pass over the
// distinct colours' LAB rows, on distances equal bit for bit to the
// per-pair measure's.  Every reported value is then built from NumPy
// scalars with the same operations as the per-pixel reading, so values and
// types are identical.  Otherwise every call is made as written: an override
// sees one call per pixel and target, a stand-in for `np` or `cv2` sees every
// call.
#include "kernels/color_match.hpp"
#include "kernels/color_census.hpp"
#include "kernels/color_table.hpp"
#include "matching/matching.hpp"

#include <cstring>
#include <functional>
#include <memory>
#include <optional>

namespace chromalens {

namespace {

// A plain (not subclassed) N x 3 uint8 array.
bool is_pixel_rows(py::handle obj) {
    if (Py_TYPE(obj.ptr()) != state.ndarray) return false;
    auto array = py::reinterpret_borrow<py::array>(obj);
    return array.ndim() == 2 && array.shape(1) == 3 && array.dtype().is(py::dtype::of<std::uint8_t>());
}

bool libraries_are_original() {
    return global_is(CL_NAME("cv2"), state.cv2_module) && global_is(CL_NAME("np"), state.numpy_module);
}

// Whether N x 3 uint8 rows lie packed, 3 bytes per row.
bool is_packed(const py::array& rows) { return rows.strides(0) == 3 && rows.strides(1) == 1; }

// Writes N x 3 uint8 rows of any strides packed to `out` (3 * N bytes).
void pack_rows(const py::array& rows, std::uint8_t* out) {
    const py::ssize_t n = rows.shape(0);
    const auto* base = static_cast<const char*>(rows.data());
    if (is_packed(rows)) {
        if (n > 0) std::memcpy(out, base, static_cast<std::size_t>(3 * n));
        return;
    }
    const py::ssize_t rs = rows.strides(0), cs = rows.strides(1);
    for (py::ssize_t i = 0; i < n; ++i)
        for (py::ssize_t k = 0; k < 3; ++k)
            out[3 * i + k] = *reinterpret_cast<const std::uint8_t*>(base + i * rs + k * cs);
}

// Whole-array conversion of N x 3 uint8 rows (N > 0), giving a C-contiguous
// N x 3 uint8 array.  The rows are laid out as an image kConvertWidth pixels
// wide (the last row padded), which converts several times faster than an
// N x 1 column and gives the same bytes: each output pixel depends only on
// its input pixel.
constexpr py::ssize_t kConvertWidth = 1024;

py::object convert_rows(py::handle rows_obj, const char* code) {
    auto rows = py::reinterpret_borrow<py::array>(rows_obj);
    const py::ssize_t n = rows.shape(0);
    const py::ssize_t width = n < kConvertWidth ? n : kConvertWidth;
    const py::ssize_t height = (n + width - 1) / width;
    py::array_t<std::uint8_t> image({height, width, py::ssize_t(3)});
    auto* out = image.mutable_data();
    pack_rows(rows, out);
    std::memset(out + 3 * n, 0, static_cast<std::size_t>(3 * (height * width - n)));
    py::object cv2 = CL_GLOBAL("cv2");
    py::object converted = checked_array(cv2.attr("cvtColor")(image, cv2.attr(code)));
    py::object flat = converted.attr("reshape")(-1, 3);
    return flat[py::slice(py::none(), py::int_(n), py::none())];
}

// pixels_rgb of the per-pixel reading: each LAB row converted as a one-pixel image.
py::object literal_rgb_rows(py::handle pixels) {
    py::list rows;
    for (py::handle pixel : pixels) rows.append(convert_one_pixel(pixel, CL_NAME("COLOR_LAB2RGB")));
    return CL_GLOBAL("np").attr("array")(rows);
}

// One match record from the band counts and the nearest pixel, built with
// the interpreter's operations on the given objects, in the order of the keys.
py::dict match_record(py::handle very_close, py::handle close, py::handle somewhat_close, py::handle total_pixels,
                      const std::function<py::object()>& closest_pixel, py::handle min_distance) {
    py::int_ hundred(100);
    py::int_ fifty(50);
    auto percent = [&](py::handle count) { return (count / total_pixels) * hundred; };
    py::object very_close_pct = percent(very_close);
    py::object close_pct = percent(close);
    py::object somewhat_close_pct = percent(somewhat_close);
    py::dict record;
    record["total_percentage"] = round2(somewhat_close_pct);
    record["close_percentage"] = round2(close_pct);
    record["very_close_percentage"] = round2(very_close_pct);
    record["closest_pixel"] = closest_pixel();
    record["min_distance"] = round2(min_distance);
    py::object score = ((fifty - min_distance) / fifty) * hundred;
    record["similarity_score"] = round2(matching::max_zero(score));
    return record;
}

// The record of one target with one distance call per pixel.
py::dict literal_match(Extractor* self, py::handle target_array, py::handle pixels_rgb, py::handle total_pixels) {
    py::list distance_list;
    for (py::handle pixel : pixels_rgb) {
        double distance = call_color_distance_lab(self, target_array, pixel);
        distance_list.append(py::float_(distance));
    }
    py::object distances = CL_GLOBAL("np").attr("array")(distance_list);
    auto band = [&](long limit) {
        py::object below = compare(distances, py::int_(limit), Py_LT);
        return CL_GLOBAL("np").attr("sum")(below);
    };
    py::object very_close = band(15);
    py::object close = band(30);
    py::object somewhat_close = band(50);
    py::object closest_idx = CL_GLOBAL("np").attr("argmin")(distances);
    py::object closest_pixel = steal(PyObject_GetItem(pixels_rgb.ptr(), closest_idx.ptr()));
    py::object min_distance = steal(PyObject_GetItem(distances.ptr(), closest_idx.ptr()));
    return match_record(very_close, close, somewhat_close, total_pixels, [&] { return int_tuple(closest_pixel); },
                        min_distance);
}

// The target's LAB triple, when its one-pixel conversion gives a plain
// uint8 triple.  An error is left for the per-pixel reading to raise at its
// first distance call, where it belongs.
bool target_lab(py::handle target_array, std::uint8_t out[3]) {
    py::object lab;
    try {
        lab = matching::lab_triple(target_array);
    } catch (py::error_already_set&) {
        return false;
    }
    if (Py_TYPE(lab.ptr()) != state.ndarray) return false;
    auto array = py::reinterpret_borrow<py::array>(lab);
    if (array.ndim() != 1 || array.shape(0) != 3 || !array.dtype().is(py::dtype::of<std::uint8_t>())) return false;
    const auto* base = static_cast<const char*>(array.data());
    for (int k = 0; k < 3; ++k) out[k] = *reinterpret_cast<const std::uint8_t*>(base + k * array.strides(0));
    return true;
}

// A new C-contiguous uint8 array of the given rows (3 bytes each).
py::array_t<std::uint8_t> byte_rows(const std::uint8_t* data, std::size_t rows) {
    py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(rows), py::ssize_t(3)});
    if (rows > 0) std::memcpy(out.mutable_data(), data, 3 * rows);
    return out;
}

// The distinct colours of the pixel list, each measured once.  Built either
// from the pixel list itself or, when the list would be taken natively,
// straight from the feature image and mask, so the list is written out only
// if a target needs the per-pixel reading.
class DistinctPixels {
public:
    DistinctPixels(py::handle pixels_obj, bool lab_space) {
        auto pixels = py::reinterpret_borrow<py::array>(pixels_obj);
        const auto n = static_cast<std::size_t>(pixels.shape(0));
        if (is_packed(pixels)) {
            pixels_ = pixels;
            bytes_ = static_cast<const std::uint8_t*>(pixels.data());
        } else {
            copy_.resize(3 * n);
            pack_rows(pixels, copy_.data());
            bytes_ = copy_.data();
        }
        census_ = std::make_unique<kernels::ColorCensus>(bytes_, n, nullptr, false);
        measure(lab_space);
    }

    DistinctPixels(PixelSource source, bool lab_space) : source_(std::move(source)) {
        census_ = std::make_unique<kernels::ColorCensus>(static_cast<const std::uint8_t*>(source_->image.data()),
                                                         source_->size(), source_->gate_values(), true);
        if (census_->selected() > 0) measure(lab_space);
    }

    std::size_t pixel_count() const { return census_->selected(); }

    // The pixel list, written out from the source on first use.
    py::object pixels() {
        if (!pixels_) {
            pixels_ = selected_rows(*source_);
            bytes_ = static_cast<const std::uint8_t*>(py::reinterpret_borrow<py::array>(pixels_).data());
        }
        return pixels_;
    }

    // The record of one target from the native pass over the distinct
    // colours.  They are in the order of their first pixels, so the first
    // colour at the smallest distance holds the first nearest pixel.
    py::dict match(const std::uint8_t target[3], py::handle total_pixels) const {
        const kernels::TargetMatch found = kernels::match_target(target, colors_lab_, census_->counts().data());
        py::object np = CL_GLOBAL("np");
        py::object count_type = np.attr("int_");
        py::object very_close = count_type(found.very_close);
        py::object close = count_type(found.close);
        py::object somewhat_close = count_type(found.somewhat_close);
        py::object min_distance = np.attr("float64")(found.min_distance);
        auto closest_pixel = [&] {
            const auto rgb = py::reinterpret_borrow<py::array>(colors_rgb_);
            const auto* base = static_cast<const char*>(rgb.data()) +
                               static_cast<py::ssize_t>(found.closest_index) * rgb.strides(0);
            py::tuple components(3);
            for (py::ssize_t k = 0; k < 3; ++k)
                components[k] = py::int_(*reinterpret_cast<const std::uint8_t*>(base + k * rgb.strides(1)));
            return py::object(std::move(components));
        };
        return match_record(very_close, close, somewhat_close, total_pixels, closest_pixel, min_distance);
    }

    // Every pixel's RGB row (pixels_rgb of the LAB reading), from its colour's.
    py::object pixel_rows_rgb() {
        pixels();
        const std::size_t n = census_->selected();
        // Both tables list the colours in the order of their first pixels.
        const kernels::ColorTable table(bytes_, n);
        py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(n), py::ssize_t(3)});
        const auto rgb = py::reinterpret_borrow<py::array>(colors_rgb_);
        const auto* base = static_cast<const char*>(rgb.data());
        std::uint8_t* dst = out.mutable_data();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t place = table.place(kernels::color_key(bytes_ + 3 * i));
            const char* row = base + static_cast<py::ssize_t>(place) * rgb.strides(0);
            for (py::ssize_t k = 0; k < 3; ++k)
                dst[3 * i + k] = *reinterpret_cast<const std::uint8_t*>(row + k * rgb.strides(1));
        }
        return std::move(out);
    }

private:
    // Both conversions of the distinct colours, each as one whole-array call.
    void measure(bool lab_space) {
        py::object feature_rows = byte_rows(census_->colors().data(), census_->size());
        colors_rgb_ = lab_space ? convert_rows(feature_rows, "COLOR_LAB2RGB") : feature_rows;
        auto lab = py::reinterpret_borrow<py::array>(convert_rows(colors_rgb_, "COLOR_RGB2LAB"));
        colors_lab_ = kernels::split_planes(static_cast<const std::uint8_t*>(lab.data()), census_->size());
    }

    std::optional<PixelSource> source_;  // the feature image and mask, when built from them
    py::object pixels_;                  // the pixel list, when there is one
    std::vector<std::uint8_t> copy_;     // packed copy of a strided pixel list
    const std::uint8_t* bytes_ = nullptr;
    std::unique_ptr<kernels::ColorCensus> census_;
    py::object colors_rgb_;              // k x 3 uint8, RGB form of each distinct colour
    kernels::LabPlanes colors_lab_;      // LAB form of colors_rgb_
};

}  // namespace

py::object find_color_matches(Extractor* self, py::handle image_arg, py::handle target_colors, py::handle mask) {
    py::object image = load_image_if_path(image_arg, "Could not load image from ");
    require_array(image);
    py::object processed_image = call_preprocess_image(self, image);
    py::object feature_image = call_convert_to_feature_space(self, processed_image);
    // When the pixel list would be taken natively and the libraries are the
    // ones bound at import, the distinct colours are counted on the feature
    // image itself; the list is written out only if a target needs it.
    std::optional<DistinctPixels> distinct;
    py::object pixels;
    std::optional<PixelSource> source;
    if (libraries_are_original())
        source = native_pixel_source(self, feature_image, mask);
    if (source && source->size() < 0xFFFFFFFFu) {
        distinct.emplace(std::move(*source), self->lab_space);
        if (distinct->pixel_count() == 0) return py::dict();
    } else {
        pixels = call_extract_pixels(self, feature_image, mask);
        if (py::len(pixels) == 0) return py::dict();
        // With the bound libraries the distinct colours are measured now, as
        // the per-pixel reading converts every pixel before the first target.
        if (libraries_are_original() && is_pixel_rows(pixels) && py::len(pixels) < 0xFFFFFFFFu)
            distinct.emplace(pixels, self->lab_space);
    }
    py::object pixels_rgb;  // made when a target needs the per-pixel reading
    auto literal_rows = [&]() -> py::handle {
        if (!pixels_rgb) {
            if (!self->lab_space)
                pixels_rgb = distinct ? distinct->pixels() : pixels;
            else
                pixels_rgb = distinct ? distinct->pixel_rows_rgb() : literal_rgb_rows(pixels);
        }
        return pixels_rgb;
    };
    if (!distinct) literal_rows();

    py::dict results;
    py::object total_pixels = py::int_(distinct ? distinct->pixel_count() : py::len(pixels_rgb));
    py::object items = target_colors.attr("items")();
    for (py::handle item : items) {
        auto [color_name, target_rgb] = unpack_pair(item);
        py::object target_array = CL_GLOBAL("np").attr("array")(target_rgb);
        // The conditions are checked per target: a call made for an earlier
        // target may have rebound a library or changed the class.
        std::uint8_t target[3];
        const bool native = distinct && !find_override(self, Slot::color_distance_lab) && libraries_are_original() &&
                            target_lab(target_array, target);
        if (native)
            results[color_name] = distinct->match(target, total_pixels);
        else
            results[color_name] = literal_match(self, target_array, literal_rows(), total_pixels);
    }
    return std::move(results);
}

}  // namespace chromalens
