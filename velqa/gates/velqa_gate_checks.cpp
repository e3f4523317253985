// Qubit-index checks of the multi-qubit gate launchers. Plain C++.
#include "velqa_gate_checks.hpp"

#include <stdexcept>

namespace velqa {

namespace {

bool contains(const std::vector<int64_t>& values, size_t end, int64_t value) {
    for (size_t i = 0; i < end; ++i) {
        if (values[i] == value) {
            return true;
        }
    }
    return false;
}

}  // namespace

void check_gate_qubits(int64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls) {
    if (n < 1 || n > 62) {
        throw std::invalid_argument("n must be in [1, 62]");
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        if (targets[i] < 0 || targets[i] >= n) {
            throw std::invalid_argument("target qubit index must be in [0, n)");
        }
        if (contains(targets, i, targets[i])) {
            throw std::invalid_argument("target qubits must be distinct");
        }
    }
    for (size_t i = 0; i < controls.size(); ++i) {
        if (controls[i] < 0 || controls[i] >= n) {
            throw std::invalid_argument("control qubit index must be in [0, n)");
        }
        if (contains(controls, i, controls[i])) {
            throw std::invalid_argument("control qubits must be distinct");
        }
        if (contains(targets, targets.size(), controls[i])) {
            throw std::invalid_argument("control qubit must not also be a target");
        }
    }
}

}  // namespace velqa
