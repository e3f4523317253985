// Reading density operation objects into records. Host C++ with pybind11; call with the
// interpreter lock held.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "../runner/density_operation.hpp"

namespace quorra::density {

// One record per object of the iterable, in order. Missing attributes raise Python's
// AttributeError; failed conversions raise pybind11's cast errors; the kind and shape
// messages are std::runtime_error.
std::vector<DensityOperation> parse_density_operations(const pybind11::iterable& operations);

}  // namespace quorra::density
