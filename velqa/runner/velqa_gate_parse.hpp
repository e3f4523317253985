// Reading circuits from Python: gate_ir dictionaries and QuantumGate objects become
// GateRecord values. Host C++ with pybind11; called with the interpreter lock held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "runner/velqa_gate_record.hpp"

namespace velqa {

// One record per element of the list, in order. Elements that are not dictionaries are
// converted with dict(element). Python errors (a missing key, a failed conversion) propagate.
std::vector<GateRecord> parse_gate_ir(const pybind11::list& gate_ir);

// One record per object of any iterable, read through the attributes "id", "target",
// "control", "control_state", "parameter" (None: no parameters) and, for "unitary", "matrix".
std::vector<GateRecord> parse_quantum_gates(const pybind11::iterable& gates);

// The gate id of a name or alias; "Unsupported CUDA gate id: <name>" otherwise.
GateId parse_gate_name(const std::string& name);

// The T family becomes PHASE with its fixed angle appended to `parameter`; any other name is
// returned unchanged.
std::string normalize_t_gate(const std::string& name, std::vector<double>& parameter);

// Reads a square complex matrix into the record; None leaves the record without a matrix.
void read_unitary_matrix(const pybind11::handle& matrix, GateRecord& record);

}  // namespace velqa
