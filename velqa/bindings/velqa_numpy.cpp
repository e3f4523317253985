// NumPy state-array checks shared by the velqa bindings. Host C++ with pybind11.
#include "velqa_numpy.hpp"

#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace velqa {

Precision array_precision(const py::array& state) { return parse_dtype(py::str(state.dtype()).cast<std::string>()); }

py::buffer_info validate_host_state(int64_t n, const py::array& state) {
    py::buffer_info view = validate_host_layout(n, state);
    (void)array_precision(state);
    return view;
}

py::buffer_info validate_host_layout(int64_t n, const py::array& state) {
    // A read-only view: writability is the caller's own check where it matters.
    py::buffer_info view = state.request(false);
    if (view.ndim != 1) {
        throw std::invalid_argument("state must be a 1-D contiguous numpy array");
    }
    if ((state.flags() & py::array::c_style) == 0) {
        throw std::invalid_argument("state must be C-contiguous");
    }
    if (static_cast<uint64_t>(n) - 1 > 61) {
        throw std::invalid_argument("n must be in [1, 62]");
    }
    if (static_cast<uint64_t>(view.size) != (uint64_t{1} << n)) {
        throw std::invalid_argument("state.size must equal 2**n");
    }
    return view;
}

}  // namespace velqa
