// Checks of gate records against the state they run on, made before anything is launched.
// Plain C++ (no CUDA); read by nvcc and g++ alike.
#pragma once

#include <cstdint>
#include <vector>

#include "runner/velqa_gate_record.hpp"

namespace velqa {

// Upper-case name of a gate id, as used in messages ("RX", "GLOBAL_PHASE").
const char* gate_id_name(GateId id);

// The qubits one launch works on must be distinct qubits of an n-qubit state. In this order:
// every target in [0, 62] ("target qubit index must be in [0, 62]"), every control in [0, 62],
// every target below n, every control below n, no target twice, no control twice, no control
// that is also a target. All failures are std::invalid_argument.
void check_gate_qubits(int64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls);

// The message of a failed parameter-count check of the record (exactly one angle for RX, RY,
// RZ, PHASE and GLOBAL_PHASE, three for U, two targets for SWAP), or nullptr when it passes.
const char* parameter_count_error(const GateRecord& record);

// Refuses, before the first launch of a call, every record whose qubits would reach a kernel
// unchecked: the control-list checks, a single-target gate without a target, then
// check_gate_qubits on the qubits the gate uses. Records are checked in order up to the first
// one whose own dispatch checks (parameter counts, a UNITARY's target and matrix sizes) fail:
// that record raises when dispatched, after the gates before it were applied, and nothing
// after it is launched.
void validate_gate_records(int64_t n, const std::vector<GateRecord>& records);

}  // namespace velqa
