// Checks of gate records against the state they run on. Plain C++.
#include "runner/velqa_gate_checks.hpp"

#include <stdexcept>
#include <string>

namespace velqa {

namespace {

bool in_register_range(int64_t q) { return q >= 0 && q <= 62; }

// Indices are in [0, 62] when these run, so one 64-bit mask tells repeats apart.
bool has_repeats(const std::vector<int64_t>& qubits, uint64_t& mask) {
    for (const int64_t q : qubits) {
        const uint64_t bit = uint64_t{1} << q;
        if ((mask & bit) != 0) {
            return true;
        }
        mask |= bit;
    }
    return false;
}

bool is_single_target(GateId id) { return id != GateId::SWAP && id != GateId::UNITARY && id != GateId::GLOBAL_PHASE; }

// A UNITARY whose target list or matrix does not fit; its launcher reports which.
bool unitary_shape_is_bad(const GateRecord& record) {
    const size_t k = record.target.size();
    if (k == 0 || k > 62 || record.matrix_dim != (int64_t{1} << k)) {
        return true;
    }
    return record.matrix.size() != static_cast<size_t>(record.matrix_dim) * static_cast<size_t>(record.matrix_dim);
}

}  // namespace

const char* gate_id_name(GateId id) {
    switch (id) {
        case GateId::X:
            return "X";
        case GateId::Y:
            return "Y";
        case GateId::Z:
            return "Z";
        case GateId::H:
            return "H";
        case GateId::S:
            return "S";
        case GateId::SDAG:
            return "SDAG";
        case GateId::SQRTX:
            return "SQRTX";
        case GateId::SQRTXDAG:
            return "SQRTXDAG";
        case GateId::SQRTY:
            return "SQRTY";
        case GateId::SQRTYDAG:
            return "SQRTYDAG";
        case GateId::SWAP:
            return "SWAP";
        case GateId::RX:
            return "RX";
        case GateId::RY:
            return "RY";
        case GateId::RZ:
            return "RZ";
        case GateId::PHASE:
            return "PHASE";
        case GateId::GLOBAL_PHASE:
            return "GLOBAL_PHASE";
        case GateId::U:
            return "U";
        case GateId::UNITARY:
            return "UNITARY";
    }
    return "unknown";
}

void check_gate_qubits(int64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls) {
    for (const int64_t t : targets) {
        if (!in_register_range(t)) {
            throw std::invalid_argument("target qubit index must be in [0, 62]");
        }
    }
    for (const int64_t c : controls) {
        if (!in_register_range(c)) {
            throw std::invalid_argument("control qubit index must be in [0, 62]");
        }
    }
    for (const int64_t t : targets) {
        if (t >= n) {
            throw std::invalid_argument("target qubit index must be in [0, n)");
        }
    }
    for (const int64_t c : controls) {
        if (c >= n) {
            throw std::invalid_argument("control qubit index must be in [0, n)");
        }
    }
    uint64_t target_mask = 0;
    if (has_repeats(targets, target_mask)) {
        throw std::invalid_argument("target qubits must be distinct");
    }
    uint64_t control_mask = 0;
    if (has_repeats(controls, control_mask)) {
        throw std::invalid_argument("control qubits must be distinct");
    }
    if ((control_mask & target_mask) != 0) {
        throw std::invalid_argument("control qubit must not also be a target");
    }
}

const char* parameter_count_error(const GateRecord& record) {
    const size_t count = record.parameter.size();
    switch (record.id) {
        case GateId::RX:
            return count == 1 ? nullptr : "RX gate requires exactly one parameter.";
        case GateId::RY:
            return count == 1 ? nullptr : "RY gate requires exactly one parameter.";
        case GateId::RZ:
            return count == 1 ? nullptr : "RZ gate requires exactly one parameter.";
        case GateId::PHASE:
            return count == 1 ? nullptr : "PHASE gate requires exactly one parameter.";
        case GateId::GLOBAL_PHASE:
            return count == 1 ? nullptr : "GLOBAL_PHASE gate requires exactly one parameter.";
        case GateId::U:
            return count == 3 ? nullptr : "U gate requires exactly three parameters.";
        case GateId::SWAP:
            return record.target.size() == 2 ? nullptr : "SWAP gate requires exactly two parameters.";
        default:
            return nullptr;
    }
}

void validate_gate_records(int64_t n, const std::vector<GateRecord>& records) {
    for (const GateRecord& record : records) {
        if (parameter_count_error(record) != nullptr ||
            (record.id == GateId::UNITARY && unitary_shape_is_bad(record))) {
            return;
        }
        (void)build_control_masks(record.control, record.control_state);
        std::vector<int64_t> targets;
        if (is_single_target(record.id)) {
            if (record.target.empty()) {
                throw std::invalid_argument(std::string(gate_id_name(record.id)) + " gate requires a target qubit.");
            }
            targets.push_back(record.target.front());  // further entries are ignored
        } else if (record.id != GateId::GLOBAL_PHASE) {
            targets = record.target;
        }
        check_gate_qubits(n, targets, record.control);
    }
}

}  // namespace velqa
