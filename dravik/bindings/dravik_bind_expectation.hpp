// Python entry points for density expectation values and probabilities. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

namespace quorra::dravik {

void bind_expectation(pybind11::module_& m);

}  // namespace quorra::dravik
