// Python entry points that measure and sample target qubits. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

namespace velqa {

void bind_measure_device(pybind11::module_& m);
void bind_sample_measure_device(pybind11::module_& m);
void bind_measure(pybind11::module_& m);

}  // namespace velqa
