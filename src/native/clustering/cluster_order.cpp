#include "clustering/cluster_order.hpp"

namespace chromalens {

py::object non_noise(py::handle unique_labels) { return compare(unique_labels, py::int_(-1), Py_NE); }

py::object largest_first(py::handle sizes, Py_ssize_t n) {
    py::object order = CL_GLOBAL("np").attr("argsort")(sizes);
    py::object descending = order[py::slice(py::none(), py::none(), py::int_(-1))];
    return descending[py::slice(py::none(), py::int_(n), py::none())];
}

}  // namespace chromalens
