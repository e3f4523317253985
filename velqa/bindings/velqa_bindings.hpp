// The module's Python entry points, one bind function per group, called from the module
// definition in the order the names are registered. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

namespace velqa {

// Circuits on a DeviceState and on a NumPy state (velqa_bind_runner.cpp).
void bind_run_circuit_device(pybind11::module_& m);
void bind_run_circuit_device_gates(pybind11::module_& m);
void bind_run_circuit(pybind11::module_& m);

// The fusion engine: the PreparedFusionChunk class, planning a streamed chunk and executing it
// (velqa_bind_fusion.cpp).
void bind_prepared_fusion_chunk(pybind11::module_& m);
void bind_prepare_fusion_chunk_gates(pybind11::module_& m);
void bind_execute_prepared_fusion_chunk(pybind11::module_& m);

// Measuring and sampling target qubits (velqa_bind_measure.cpp).
void bind_measure_device(pybind11::module_& m);
void bind_sample_measure_device(pybind11::module_& m);
void bind_measure(pybind11::module_& m);

// Expectation values and outcome probabilities (velqa_bind_expectation.cpp).
void bind_expectation(pybind11::module_& m);

}  // namespace velqa
