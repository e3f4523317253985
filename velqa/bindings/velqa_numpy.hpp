// Checks of NumPy state arrays shared by the velqa bindings. Host C++ with pybind11.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "../state/velqa_device_state.cuh"

namespace velqa {

// The precision of a complex64 or complex128 array; the dtype message otherwise.
Precision array_precision(const pybind11::array& state);

// Checks a state array against n in the module's order: 1-D, C-contiguous, n in range,
// 2**n elements, dtype. Returns the array's buffer view.
pybind11::buffer_info validate_host_state(int64_t n, const pybind11::array& state);

// The same checks without the dtype, for callers that check other arguments before it.
pybind11::buffer_info validate_host_layout(int64_t n, const pybind11::array& state);

}  // namespace velqa
