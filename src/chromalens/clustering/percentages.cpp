// Shares of the non-noise pixels held by each cluster label.
#include "clustering/cluster_order.hpp"

namespace chromalens {

using namespace pybind11::literals;

py::object calculate_percentages(Extractor*, py::handle labels) {
    auto [unique_labels, counts] = unpack_pair(CL_GLOBAL("np").attr("unique")(labels, "return_counts"_a = true));
    py::object kept = counts[non_noise(unique_labels)];
    py::object total = CL_GLOBAL("np").attr("sum")(kept);
    // Division first, then the factor 100, as doubles.
    py::object shares = (kept / total) * py::int_(100);
    py::object result = shares.attr("tolist")();
    if (!PyList_CheckExact(result.ptr()) && !result.is_none())
        raise_formatted(PyExc_TypeError, "Expected %s, got %.200s", "list", type_name(result.ptr()));
    return result;
}

}  // namespace chromalens
