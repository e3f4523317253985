// The module's Python entry points, one bind function per group, called from the module
// definition in the order the names are registered. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

#include <complex>
#include <cstdint>
#include <vector>

#include "measure/velqa_sampling.hpp"

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

// The measurement seed of a Python value: None draws one 32-bit value of the platform's
// non-deterministic source; an integer must fit 64 unsigned bits.
uint64_t resolve_seed(const pybind11::object& seed);
// Counts as a dictionary keyed by bit strings of k characters.
pybind11::dict counts_to_dict(const std::vector<OutcomeCount>& counts, int64_t k);

// Expectation values and outcome probabilities (velqa_bind_expectation.cpp).
void bind_expectation(pybind11::module_& m);

// A matrix argument as complex128 values, row-major; rows and cols are -1 unless it has two
// dimensions.
struct DenseMatrixArg {
    std::vector<std::complex<double>> values;
    int64_t rows = -1;
    int64_t cols = -1;
};
DenseMatrixArg read_dense_matrix(const pybind11::object& matrix);

// The state vector over MPI ranks (velqa_bind_distributed.cpp): DistributedState, registered
// after DeviceState, then its overloads of functions already registered for DeviceState.
void bind_distributed_state(pybind11::module_& m);
void bind_distributed_overloads(pybind11::module_& m);

}  // namespace velqa
