// Python entry points that measure and sample target qubits. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "measure/velqa_sampling.hpp"

namespace velqa {

// The measurement seed of a Python value: None draws one 32-bit value of the platform's
// non-deterministic source; an integer must fit 64 unsigned bits.
uint64_t resolve_seed(const pybind11::object& seed);

// Counts as a dictionary keyed by bit strings of k characters.
pybind11::dict counts_to_dict(const std::vector<OutcomeCount>& counts, int64_t k);

void bind_measure_device(pybind11::module_& m);
void bind_sample_measure_device(pybind11::module_& m);
void bind_measure(pybind11::module_& m);

}  // namespace velqa
