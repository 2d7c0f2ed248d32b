// Shares of the non-noise pixels held by each cluster label.
#include "clustering/cluster_order.hpp"
#include "clustering/label_counts.hpp"

namespace chromalens {

using namespace pybind11::literals;

namespace {

template <class Label>
bool count_typed(const py::array& array, LabelCounts& out) {
    const py::ssize_t n = array.shape(0), stride = array.strides(0);
    const auto* base = static_cast<const char*>(array.data());
    // Labels viewed out of a byte buffer need not be aligned.
    if (reinterpret_cast<std::uintptr_t>(base) % alignof(Label) != 0 || stride % static_cast<py::ssize_t>(sizeof(Label)) != 0)
        return false;
    std::vector<int64_t> tally;  // entry l + 1 counts label l
    tally.reserve(16);
    for (py::ssize_t i = 0; i < n; ++i) {
        const int64_t label = *reinterpret_cast<const Label*>(base + i * stride);
        if (label < -1 || label > n) return false;
        const auto slot = static_cast<std::size_t>(label + 1);
        if (slot >= tally.size()) tally.resize(slot + 1, 0);
        ++tally[slot];
    }
    for (std::size_t slot = 0; slot < tally.size(); ++slot) {
        if (tally[slot] == 0) continue;
        out.labels.push_back(static_cast<int64_t>(slot) - 1);
        out.counts.push_back(tally[slot]);
    }
    return true;
}

}  // namespace

bool count_labels(py::handle labels, LabelCounts& out) {
    if (!global_is(CL_NAME("np"), state.numpy_module) || Py_TYPE(labels.ptr()) != state.ndarray) return false;
    auto array = py::reinterpret_borrow<py::array>(labels);
    if (array.ndim() != 1) return false;
    if (array.dtype().is(py::dtype::of<int64_t>())) return count_typed<int64_t>(array, out);
    if (array.dtype().is(py::dtype::of<int32_t>())) return count_typed<int32_t>(array, out);
    return false;
}

py::object cluster_sizes(const LabelCounts& counts) {
    std::vector<int64_t> sizes;
    for (std::size_t i = 0; i < counts.labels.size(); ++i)
        if (counts.labels[i] != -1) sizes.push_back(counts.counts[i]);
    py::array_t<int64_t> out(static_cast<py::ssize_t>(sizes.size()));
    std::copy(sizes.begin(), sizes.end(), out.mutable_data());
    return std::move(out);
}

py::object calculate_percentages(Extractor*, py::handle labels) {
    LabelCounts counted;
    if (count_labels(labels, counted)) {
        // kept / np.sum(kept) * 100 on int64 counts: each count and the
        // total converted to double, one division, then the factor 100.
        int64_t total = 0;
        for (std::size_t i = 0; i < counted.labels.size(); ++i)
            if (counted.labels[i] != -1) total += counted.counts[i];
        py::list shares;
        for (std::size_t i = 0; i < counted.labels.size(); ++i) {
            if (counted.labels[i] == -1) continue;
            const double fraction = static_cast<double>(counted.counts[i]) / static_cast<double>(total);
            shares.append(py::float_(fraction * 100.0));
        }
        return std::move(shares);
    }
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
