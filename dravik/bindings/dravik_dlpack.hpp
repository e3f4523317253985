// The DeviceDensityState members that export and import through DLPack (quorra_dlpack.hpp).
// Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik::dlpack {

// synchronize, __dlpack__, __dlpack_device__ and from_dlpack.
void bind_state_exchange(pybind11::class_<DeviceDensityState, std::shared_ptr<DeviceDensityState>>& cls);

}  // namespace quorra::dravik::dlpack
