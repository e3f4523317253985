// Fused-gate records and the matrices built from them. Plain C++; no CUDA call.
#include "fusion/velqa_matrix_gate.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velqa::fusion {

namespace {

using Complex = std::complex<double>;

constexpr double kHalfSqrt2 = 0.7071067811865475;

CuComplex<double> to_cu(Complex z) { return CuComplex<double>{z.real(), z.imag()}; }
Complex from_cu(CuComplex<double> z) { return Complex(z.re, z.im); }

void set_matrix(Complex (&m)[4], Complex m00, Complex m01, Complex m10, Complex m11) {
    m[0] = m00;
    m[1] = m01;
    m[2] = m10;
    m[3] = m11;
}

MatrixGateKind kind_of(GateId id) {
    switch (id) {
        case GateId::X:
            return MatrixGateKind::PauliX;
        case GateId::Y:
            return MatrixGateKind::PauliY;
        case GateId::H:
            return MatrixGateKind::Hadamard;
        case GateId::Z:
        case GateId::S:
        case GateId::SDAG:
        case GateId::RZ:
        case GateId::PHASE:
            return MatrixGateKind::Diagonal;
        case GateId::RX:
            return MatrixGateKind::RotX;
        case GateId::RY:
            return MatrixGateKind::RotY;
        default:
            return MatrixGateKind::General;
    }
}

// Local bit of a qubit of the group; the planner puts every gate qubit into the list.
int32_t local_bit(const std::vector<int64_t>& active_qubits, int64_t qubit) {
    const auto it = std::lower_bound(active_qubits.begin(), active_qubits.end(), qubit);
    return static_cast<int32_t>(it - active_qubits.begin());
}

}  // namespace

bool gate_matrix_2x2(const GateRecord& gate, Complex (&m)[4]) {
    if (gate.target.size() != 1) {
        return false;
    }
    const std::vector<double>& p = gate.parameter;
    const Complex i(0.0, 1.0);
    const auto one_angle = [&p]() { return p.size() == 1; };
    switch (gate.id) {
        case GateId::X:
            set_matrix(m, 0.0, 1.0, 1.0, 0.0);
            return true;
        case GateId::Y:
            set_matrix(m, 0.0, -i, i, 0.0);
            return true;
        case GateId::Z:
            set_matrix(m, 1.0, 0.0, 0.0, -1.0);
            return true;
        case GateId::H:
            set_matrix(m, kHalfSqrt2, kHalfSqrt2, kHalfSqrt2, -kHalfSqrt2);
            return true;
        case GateId::S:
            set_matrix(m, 1.0, 0.0, 0.0, i);
            return true;
        case GateId::SDAG:
            set_matrix(m, 1.0, 0.0, 0.0, -i);
            return true;
        case GateId::SQRTX:
            set_matrix(m, Complex(0.5, 0.5), Complex(0.5, -0.5), Complex(0.5, -0.5), Complex(0.5, 0.5));
            return true;
        case GateId::SQRTXDAG:
            set_matrix(m, Complex(0.5, -0.5), Complex(0.5, 0.5), Complex(0.5, 0.5), Complex(0.5, -0.5));
            return true;
        case GateId::SQRTY:
            set_matrix(m, Complex(0.5, 0.5), Complex(-0.5, -0.5), Complex(0.5, 0.5), Complex(0.5, 0.5));
            return true;
        case GateId::SQRTYDAG:
            set_matrix(m, Complex(0.5, -0.5), Complex(0.5, -0.5), Complex(-0.5, 0.5), Complex(0.5, -0.5));
            return true;
        case GateId::RX:
        case GateId::RY: {
            if (!one_angle()) {
                return false;
            }
            const double c = std::cos(p[0] / 2);
            const double s = std::sin(p[0] / 2);
            if (gate.id == GateId::RX) {
                set_matrix(m, c, Complex(0.0, -s), Complex(0.0, -s), c);
            } else {
                set_matrix(m, c, -s, s, c);
            }
            return true;
        }
        case GateId::RZ:
            if (!one_angle()) {
                return false;
            }
            set_matrix(m, std::polar(1.0, -p[0] / 2), 0.0, 0.0, std::polar(1.0, p[0] / 2));
            return true;
        case GateId::PHASE:
            if (!one_angle()) {
                return false;
            }
            set_matrix(m, 1.0, 0.0, 0.0, std::polar(1.0, p[0]));
            return true;
        case GateId::U: {
            if (p.size() != 3) {
                return false;
            }
            const double c = std::cos(p[0] / 2);
            const double s = std::sin(p[0] / 2);
            set_matrix(m, c, -std::polar(1.0, p[2]) * s, std::polar(1.0, p[1]) * s, std::polar(1.0, p[1] + p[2]) * c);
            return true;
        }
        case GateId::UNITARY:
            if (gate.matrix_dim != 2 || gate.matrix.size() != 4) {
                return false;
            }
            set_matrix(m, gate.matrix[0], gate.matrix[1], gate.matrix[2], gate.matrix[3]);
            return true;
        default:
            return false;
    }
}

DeviceMatrixGate<double> make_matrix_gate(const GateRecord& gate, const std::vector<int64_t>& active_qubits) {
    DeviceMatrixGate<double> record;
    if (gate.id == GateId::SWAP) {
        if (gate.target.size() != 2 || gate.target[0] == gate.target[1] ||
            gate.control_state.size() != gate.control.size()) {
            throw std::invalid_argument("unsupported fused SWAP gate");
        }
        record.kind = static_cast<int32_t>(MatrixGateKind::Swap);
        record.target0 = local_bit(active_qubits, gate.target[0]);
        record.target1 = local_bit(active_qubits, gate.target[1]);
        record.m[0] = to_cu(1.0);
        record.m[3] = to_cu(1.0);
    } else {
        Complex m[4];
        if (!gate_matrix_2x2(gate, m)) {
            throw std::invalid_argument("unsupported SparseShareMem gate");
        }
        for (int e = 0; e < 4; ++e) {
            record.m[e] = to_cu(m[e]);
        }
        record.kind = static_cast<int32_t>(kind_of(gate.id));
        record.target0 = local_bit(active_qubits, gate.target[0]);
    }
    for (size_t c = 0; c < gate.control.size(); ++c) {
        // Groups wider than 31 local bits exist only with raised options and are refused at
        // execution; their control bits must still not overflow when the record is built.
        const auto bit =
            static_cast<int32_t>(static_cast<uint32_t>(uint64_t{1} << local_bit(active_qubits, gate.control[c])));
        record.control_mask |= bit;
        if (c < gate.control_state.size() && gate.control_state[c] == 1) {
            record.control_value |= bit;
        }
    }
    return record;
}

std::vector<Complex> build_dense_matrix(const std::vector<DeviceMatrixGate<double>>& matrix_gates, int k) {
    const size_t dim = size_t{1} << k;
    std::vector<Complex> matrix(dim * dim, Complex(0.0, 0.0));
    for (size_t d = 0; d < dim; ++d) {
        matrix[d * dim + d] = 1.0;
    }
    for (const DeviceMatrixGate<double>& g : matrix_gates) {
        const size_t b0 = size_t{1} << g.target0;
        const auto controls_hold = [&g](size_t row) {
            return (row & static_cast<size_t>(g.control_mask)) == static_cast<size_t>(g.control_value);
        };
        if (g.kind == static_cast<int32_t>(MatrixGateKind::Swap)) {
            const size_t b1 = size_t{1} << g.target1;
            for (size_t row = 0; row < dim; ++row) {
                if ((row & b0) == 0 && (row & b1) != 0 && controls_hold(row)) {
                    std::swap_ranges(matrix.begin() + static_cast<ptrdiff_t>(row * dim),
                                     matrix.begin() + static_cast<ptrdiff_t>((row + 1) * dim),
                                     matrix.begin() + static_cast<ptrdiff_t>(((row | b0) & ~b1) * dim));
                }
            }
            continue;
        }
        const Complex m00 = from_cu(g.m[0]), m01 = from_cu(g.m[1]), m10 = from_cu(g.m[2]), m11 = from_cu(g.m[3]);
        for (size_t row = 0; row < dim; ++row) {
            if ((row & b0) != 0 || !controls_hold(row)) {
                continue;
            }
            Complex* r0 = &matrix[row * dim];
            Complex* r1 = &matrix[(row | b0) * dim];
            for (size_t c = 0; c < dim; ++c) {
                const Complex x0 = r0[c];
                const Complex x1 = r1[c];
                r0[c] = m00 * x0 + m01 * x1;
                r1[c] = m10 * x0 + m11 * x1;
            }
        }
    }
    return matrix;
}

}  // namespace velqa::fusion
