// Python entry points for expectation values and outcome probabilities. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

namespace velqa {

void bind_expectation(pybind11::module_& m);

}  // namespace velqa
