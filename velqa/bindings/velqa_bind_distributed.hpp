// Python surface of the distributed state: the DistributedState class and the overloads of
// the circuit, fusion and measurement functions that take one. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

namespace velqa {

// Registers DistributedState; must come after DeviceState.
void bind_distributed_state(pybind11::module_& m);
// Adds DistributedState overloads to functions already registered for DeviceState.
void bind_distributed_overloads(pybind11::module_& m);

}  // namespace velqa
