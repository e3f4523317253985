// Fused-gate records: the one form in which a planned gate reaches either fused executor,
// the 2x2 matrices of the fusable gates and the dense matrix of a group.
// Plain C++ apart from the complex type, which host and device code share.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "runner/velqa_gate_record.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

// How the shared-memory kernel applies a record. Every kind but Swap carries its full 2x2
// matrix; kinds 1 to 6 are shortcuts that give the same result as the General product.
enum class MatrixGateKind : int32_t {
    General = 0,
    PauliX = 1,
    PauliY = 2,
    Hadamard = 3,
    Diagonal = 4,
    RotX = 5,
    RotY = 6,
    Swap = 7,
};

// One gate of a fused group in the group's local bits: bit b stands for active_qubits[b].
// m is row-major: new a0 = m00 a0 + m01 a1, new a1 = m10 a0 + m11 a1.
template <typename T>
struct DeviceMatrixGate {
    int32_t kind = static_cast<int32_t>(MatrixGateKind::General);
    int32_t target0 = -1;
    int32_t target1 = -1;
    int32_t control_mask = 0;
    int32_t control_value = 0;
    CuComplex<T> m[4] = {};
};

// The matrix of a single-target gate (exactly one target, the parameter count it needs, or a
// 2x2 UNITARY) in double precision; false for anything else, SWAP and GLOBAL_PHASE included.
bool gate_matrix_2x2(const GateRecord& gate, std::complex<double> (&m)[4]);

// The record of a fusable gate in the local bits of `active_qubits` (ascending, holding every
// target and control of the gate). Throws "unsupported fused SWAP gate" or "unsupported
// SparseShareMem gate" for a gate the planner would never fuse.
DeviceMatrixGate<double> make_matrix_gate(const GateRecord& gate, const std::vector<int64_t>& active_qubits);

// The 2^k x 2^k matrix (row-major, row = output local index) of the records applied in order,
// that is G_last ... G_first.
std::vector<std::complex<double>> build_dense_matrix(const std::vector<DeviceMatrixGate<double>>& matrix_gates, int k);

}  // namespace velqa::fusion
