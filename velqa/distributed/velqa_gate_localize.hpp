// Turning a gate of the whole n-qubit state into the gate one rank runs on its slice.
// Plain C++ (no CUDA, no MPI).
//
// A control on a global qubit is a test of the rank number: the rank runs the gate without
// that control, or skips it. A diagonal gate on a global target is a phase (or a smaller
// diagonal) that depends on the rank's bit of that qubit. Everything else is renamed from
// logical qubits to local index bits through the layout.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "runner/velqa_gate_record.hpp"

namespace velqa::distributed {

// The record rank `rank` runs on its slice of `local_bits` bits for `record`, or nothing
// when it leaves this rank's amplitudes unchanged. `bit_of_qubit[q]` is the index bit of
// logical qubit q; global bit b is bit b - local_bits of the rank number. The record must
// have passed the runner's checks and its mixed qubits (both qubits of any SWAP) must be
// local; std::logic_error otherwise.
std::optional<GateRecord> localize_gate(const GateRecord& record, const std::vector<int32_t>& bit_of_qubit,
                                        int64_t local_bits, uint64_t rank);

// A 64-bit FNV-1a digest of everything in the records that affects a run, so that ranks can
// compare their gate lists with one small collective.
uint64_t hash_gate_records(const std::vector<GateRecord>& records);

}  // namespace velqa::distributed
