// Density operation records: names, matrices, validation and fast-path recognition.
// Plain C++.
#include "density_operation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

namespace quorra::density {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSqrtHalf = 0.70710678118654752440;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

template <typename T>
using Mat2 = std::array<std::complex<T>, 4>;

// e^{i theta}, with the sine and cosine of T.
template <typename T>
std::complex<T> expi(T theta) {
    return std::complex<T>(std::cos(theta), std::sin(theta));
}

template <typename T>
Mat2<T> multiply(const Mat2<T>& a, const Mat2<T>& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2], a[2] * b[1] + a[3] * b[3]};
}

template <typename T>
Mat2<T> rx(T theta) {
    const T c = std::cos(theta / T(2));
    const T s = std::sin(theta / T(2));
    return {std::complex<T>(c, 0), std::complex<T>(0, -s), std::complex<T>(0, -s), std::complex<T>(c, 0)};
}

template <typename T>
Mat2<T> rz(T theta) {
    return {expi<T>(-theta / T(2)), T(0), T(0), expi<T>(theta / T(2))};
}

// Matrices of the single-target operations; `p` holds the parameters already converted
// to T. Returns false for any other operation.
template <typename T>
bool fixed_or_rotation(NamedOperation name, const std::vector<T>& p, Mat2<T>& m) {
    using C = std::complex<T>;
    const T h = static_cast<T>(kSqrtHalf);
    const T half = T(0.5);
    if (name == NamedOperation::X) {
        m = {C(0), C(1), C(1), C(0)};
    } else if (name == NamedOperation::Y) {
        m = {C(0), C(0, -1), C(0, 1), C(0)};
    } else if (name == NamedOperation::Z) {
        m = {C(1), C(0), C(0), C(-1)};
    } else if (name == NamedOperation::MinusZ) {
        m = {C(-1), C(0), C(0), C(1)};
    } else if (name == NamedOperation::H) {
        m = {C(h), C(h), C(h), C(-h)};
    } else if (name == NamedOperation::S) {
        m = {C(1), C(0), C(0), C(0, 1)};
    } else if (name == NamedOperation::SDag) {
        m = {C(1), C(0), C(0), C(0, -1)};
    } else if (name == NamedOperation::T) {
        m = {C(1), C(0), C(0), expi<T>(static_cast<T>(kPi) / T(4))};
    } else if (name == NamedOperation::TDag) {
        m = {C(1), C(0), C(0), expi<T>(-static_cast<T>(kPi) / T(4))};
    } else if (name == NamedOperation::SqrtX) {
        m = {C(half, half), C(half, -half), C(half, -half), C(half, half)};
    } else if (name == NamedOperation::SqrtXDag) {
        m = {C(half, -half), C(half, half), C(half, half), C(half, -half)};
    } else if (name == NamedOperation::SqrtY) {
        m = {C(half, half), C(-half, -half), C(half, half), C(half, half)};
    } else if (name == NamedOperation::SqrtYDag) {
        m = {C(half, -half), C(half, -half), C(-half, half), C(half, -half)};
    } else if (name == NamedOperation::X2P) {
        m = {C(h), C(0, -h), C(0, -h), C(h)};
    } else if (name == NamedOperation::X2M) {
        m = {C(h), C(0, h), C(0, h), C(h)};
    } else if (name == NamedOperation::Y2P) {
        m = {C(h), C(-h), C(h), C(h)};
    } else if (name == NamedOperation::Y2M) {
        m = {C(h), C(h), C(-h), C(h)};
    } else if (name == NamedOperation::RX) {
        m = rx<T>(p[0]);
    } else if (name == NamedOperation::RY) {
        const T c = std::cos(p[0] / T(2));
        const T s = std::sin(p[0] / T(2));
        m = {C(c), C(-s), C(s), C(c)};
    } else if (name == NamedOperation::RZ) {
        m = rz<T>(p[0]);
    } else if (name == NamedOperation::P) {
        m = {C(1), C(0), C(0), expi<T>(p[0])};
    } else if (name == NamedOperation::GP) {
        m = {expi<T>(p[0]), C(0), C(0), expi<T>(p[0])};
    } else if (name == NamedOperation::RXY) {
        // RZ(phi) RX(theta) RZ(-phi), multiplied left to right.
        m = multiply(multiply(rz<T>(p[0]), rx<T>(p[1])), rz<T>(-p[0]));
    } else if (name == NamedOperation::U) {
        const T c = std::cos(p[0] / T(2));
        const T s = std::sin(p[0] / T(2));
        m = {C(c), -expi<T>(p[2]) * s, expi<T>(p[1]) * s, expi<T>(p[1] + p[2]) * c};
    } else {
        return false;
    }
    return true;
}

size_t table_parameter_count(NamedOperation name) {
    switch (name) {
        case NamedOperation::RX:
        case NamedOperation::RY:
        case NamedOperation::RZ:
        case NamedOperation::P:
        case NamedOperation::GP:
            return 1;
        case NamedOperation::RXY:
            return 2;
        case NamedOperation::U:
            return 3;
        default:
            return 0;
    }
}

bool is_known_single_target(NamedOperation name) {
    return name != NamedOperation::Unknown && name != NamedOperation::Swap;
}

template <typename T>
std::vector<std::complex<double>> widen(const Mat2<T>& m) {
    return {std::complex<double>(m[0]), std::complex<double>(m[1]), std::complex<double>(m[2]),
            std::complex<double>(m[3])};
}

template <typename T>
std::vector<std::complex<double>> named_matrix(const DensityOperation& op) {
    std::vector<T> p;
    p.reserve(op.parameters.size());
    for (const double value : op.parameters) {
        p.push_back(static_cast<T>(value));
    }
    Mat2<T> m{};
    fixed_or_rotation<T>(op.named, p, m);
    return widen<T>(m);
}

template <typename T>
DiagonalResult diagonal_factors(NamedOperation name, double parameter) {
    const T theta = static_cast<T>(parameter);
    const std::complex<T> one(1, 0);
    std::complex<T> d0 = one;
    std::complex<T> d1 = one;
    if (name == NamedOperation::GP) {
        d0 = d1 = expi<T>(theta);
    } else if (name == NamedOperation::P) {
        d1 = expi<T>(theta);
    } else if (name == NamedOperation::RZ) {
        d0 = expi<T>(-theta / T(2));
        d1 = expi<T>(theta / T(2));
    } else if (name == NamedOperation::S) {
        d1 = std::complex<T>(0, 1);
    } else if (name == NamedOperation::SDag) {
        d1 = std::complex<T>(0, -1);
    } else if (name == NamedOperation::T) {
        d1 = expi<T>(static_cast<T>(kPi) / T(4));
    } else if (name == NamedOperation::TDag) {
        d1 = expi<T>(-static_cast<T>(kPi) / T(4));
    } else if (name == NamedOperation::Z) {
        d1 = -one;
    } else {  // MinusZ
        d0 = -one;
    }
    DiagonalResult result;
    result.diag0 = std::complex<double>(d0);
    result.diag1 = std::complex<double>(d1);
    return result;
}

bool is_finite(std::complex<double> value) { return std::isfinite(value.real()) && std::isfinite(value.imag()); }

}  // namespace

NamedOperation parse_operation_name(const std::string& name) {
    static const std::unordered_map<std::string, NamedOperation> table = {
        {"x", NamedOperation::X},
        {"cx", NamedOperation::X},
        {"cnot", NamedOperation::X},
        {"mcx", NamedOperation::X},
        {"y", NamedOperation::Y},
        {"cy", NamedOperation::Y},
        {"mcy", NamedOperation::Y},
        {"z", NamedOperation::Z},
        {"cz", NamedOperation::Z},
        {"mcz", NamedOperation::Z},
        {"-z", NamedOperation::MinusZ},
        {"h", NamedOperation::H},
        {"ch", NamedOperation::H},
        {"mch", NamedOperation::H},
        {"s", NamedOperation::S},
        {"cs", NamedOperation::S},
        {"mcs", NamedOperation::S},
        {"s_dag", NamedOperation::SDag},
        {"t", NamedOperation::T},
        {"t_dag", NamedOperation::TDag},
        {"sqrtx", NamedOperation::SqrtX},
        {"sqrtx_dag", NamedOperation::SqrtXDag},
        {"sqrty", NamedOperation::SqrtY},
        {"sqrty_dag", NamedOperation::SqrtYDag},
        {"x2p", NamedOperation::X2P},
        {"x2m", NamedOperation::X2M},
        {"y2p", NamedOperation::Y2P},
        {"y2m", NamedOperation::Y2M},
        {"rx", NamedOperation::RX},
        {"crx", NamedOperation::RX},
        {"mcrx", NamedOperation::RX},
        {"ry", NamedOperation::RY},
        {"cry", NamedOperation::RY},
        {"mcry", NamedOperation::RY},
        {"rz", NamedOperation::RZ},
        {"crz", NamedOperation::RZ},
        {"mcrz", NamedOperation::RZ},
        {"p", NamedOperation::P},
        {"cp", NamedOperation::P},
        {"mcp", NamedOperation::P},
        {"gp", NamedOperation::GP},
        {"gphase", NamedOperation::GP},
        {"global_phase", NamedOperation::GP},
        {"rxy", NamedOperation::RXY},
        {"xyarb", NamedOperation::RXY},
        {"u", NamedOperation::U},
        {"swap", NamedOperation::Swap},
    };
    const auto it = table.find(name);
    return it == table.end() ? NamedOperation::Unknown : it->second;
}

void set_operation_name(DensityOperation& op, std::string name) {
    op.named = parse_operation_name(name);
    op.name = std::move(name);
}

std::optional<ChannelKind> parse_channel_name(const std::string& name) {
    static const std::unordered_map<std::string, ChannelKind> table = {
        {"bit_flip", ChannelKind::BitFlip},           {"phase_flip", ChannelKind::PhaseFlip},
        {"depolarizing", ChannelKind::Depolarizing},  {"amplitude_damping", ChannelKind::AmplitudeDamping},
        {"phase_damping", ChannelKind::PhaseDamping},
    };
    const auto it = table.find(name);
    return it == table.end() ? std::nullopt : std::optional<ChannelKind>(it->second);
}

void set_channel_name(DensityOperation& op, const std::string& name) { op.channel = parse_channel_name(name); }

void check_parameter_count(const DensityOperation& op, size_t expected) {
    if (op.parameters.size() != expected) {
        fail("invalid parameter count for density operation '" + op.name + "'");
    }
    for (const double value : op.parameters) {
        if (!std::isfinite(value)) {
            fail("density operation parameters must be finite");
        }
    }
}

std::vector<std::complex<double>> named_operation_matrix(const DensityOperation& op, bool is_double) {
    if (op.named == NamedOperation::Swap) {
        check_parameter_count(op, 0);
        if (op.targets.size() != 2) {
            fail("swap requires exactly two targets");
        }
        std::vector<std::complex<double>> m(16, 0.0);
        m[0] = m[6] = m[9] = m[15] = 1.0;
        return m;
    }
    if (op.targets.size() != 1) {
        fail("named density operation requires one target");
    }
    if (!is_known_single_target(op.named)) {
        fail("unsupported named density operation '" + op.name + "'");
    }
    check_parameter_count(op, table_parameter_count(op.named));
    return is_double ? named_matrix<double>(op) : named_matrix<float>(op);
}

// Every target inside the register and no target twice.
static void check_targets(const std::vector<int64_t>& targets, int64_t num_qubits, const char* message) {
    for (size_t i = 0; i < targets.size(); ++i) {
        const int64_t t = targets[i];
        if (t < 0 || t >= num_qubits || std::find(targets.begin(), targets.begin() + i, t) != targets.begin() + i) {
            fail(message);
        }
    }
}

void validate_unitary_operation(const DensityOperation& op, int64_t num_qubits) {
    if (op.targets.empty()) {
        fail("density operation requires at least one target");
    }
    if (op.controls.size() != op.control_state.size()) {
        fail("controls and control_state sizes must match");
    }
    check_targets(op.targets, num_qubits, "invalid or duplicate target qubit");
    for (size_t i = 0; i < op.controls.size(); ++i) {
        const int64_t c = op.controls[i];
        bool clash = false;
        for (const int64_t t : op.targets) {
            clash = clash || t == c;
        }
        for (size_t j = 0; j < i; ++j) {
            clash = clash || op.controls[j] == c;
        }
        if (c < 0 || c >= num_qubits || clash) {
            fail("invalid, duplicate, or overlapping control qubit");
        }
        if (op.control_state[i] != 0 && op.control_state[i] != 1) {
            fail("control_state must contain only 0 or 1");
        }
    }
    if (op.targets.size() > kMaxUnitaryTargets) {
        fail("GPU density unitary supports at most 6 targets");
    }
}

void validate_kraus_operation(const DensityOperation& op, int64_t num_qubits) {
    if (op.targets.empty()) {
        fail("Kraus operation requires at least one target");
    }
    check_targets(op.targets, num_qubits, "invalid or duplicate Kraus target qubit");
    // Distinct targets inside a register of at most 15 qubits: the shift is safe.
    if ((int64_t{1} << op.targets.size()) != op.kraus_dimension) {
        fail("Kraus matrix dimension does not match targets");
    }
    if (op.kraus_count < 1) {
        fail("Kraus operation requires at least one matrix");
    }
    const uint64_t d = static_cast<uint64_t>(op.kraus_dimension);
    if (op.kraus_matrices.size() != d * d * static_cast<uint64_t>(op.kraus_count)) {
        fail("invalid Kraus matrix buffer size");
    }
    for (const auto& value : op.kraus_matrices) {
        if (!is_finite(value)) {
            fail("Kraus matrices must contain only finite values");
        }
    }
    if (!classify_channel(op) && op.targets.size() > kMaxKrausTargets) {
        fail("GPU density Kraus supports at most 3 targets");
    }
}

void validate_stored_matrix(const DensityOperation& op) {
    for (const auto& value : op.stored_matrix) {
        if (!is_finite(value)) {
            fail("unitary matrix must contain only finite values");
        }
    }
    const uint64_t side = uint64_t{1} << op.targets.size();
    if (op.stored_matrix.size() != side * side) {
        fail("unitary matrix size does not match targets");
    }
}

ControlMasks build_control_masks(const DensityOperation& op) {
    ControlMasks masks;
    for (size_t i = 0; i < op.controls.size(); ++i) {
        const uint64_t bit = uint64_t{1} << op.controls[i];
        masks.control_mask |= bit;
        if (op.control_state[i] == 1) {
            masks.control_values |= bit;
        }
    }
    return masks;
}

std::optional<DiagonalResult> classify_diagonal(const DensityOperation& op, bool is_double) {
    const NamedOperation name = op.named;
    if (name == NamedOperation::GP && op.controls.empty()) {
        DiagonalResult noop;
        noop.is_noop = true;
        return noop;
    }
    if (op.targets.size() != 1) {
        return std::nullopt;
    }
    double parameter = 0.0;
    switch (name) {
        case NamedOperation::GP:
        case NamedOperation::P:
        case NamedOperation::RZ:
            check_parameter_count(op, 1);
            parameter = op.parameters[0];
            break;
        case NamedOperation::S:
        case NamedOperation::SDag:
        case NamedOperation::T:
        case NamedOperation::TDag:
        case NamedOperation::Z:
        case NamedOperation::MinusZ:
            break;
        default:
            return std::nullopt;
    }
    return is_double ? diagonal_factors<double>(name, parameter) : diagonal_factors<float>(name, parameter);
}

std::optional<PermutationResult> classify_permutation(const DensityOperation& op) {
    PermutationResult result;
    if (op.named == NamedOperation::X && op.targets.size() == 1) {
        result.permutation_mask = uint64_t{1} << op.targets[0];
    } else if (op.named == NamedOperation::Swap && op.targets.size() == 2) {
        result.permutation_mask = (uint64_t{1} << op.targets[0]) | (uint64_t{1} << op.targets[1]);
        result.permutation_is_swap = true;
    } else {
        return std::nullopt;
    }
    if (!op.parameters.empty()) {
        fail("density operation '" + op.name + "' requires no parameters");
    }
    return result;
}

std::optional<ChannelResult> classify_channel(const DensityOperation& op) {
    if (op.kind != DensityOperationKind::Kraus || op.targets.size() != 1 || op.kraus_dimension != 2) {
        return std::nullopt;
    }
    // The Kraus count each channel has, and where its parameter is read.
    struct Entry {
        ChannelKind kind;
        int64_t count;
        int element;   // index of the K1 entry read: 1 = [0][1], 0 = [0][0]
        double scale;  // the parameter is scale * (Re K1[..])^2
    };
    static const Entry table[] = {
        {ChannelKind::BitFlip, 2, 1, 1.0},      {ChannelKind::PhaseFlip, 2, 0, 1.0},
        {ChannelKind::Depolarizing, 4, 1, 4.0}, {ChannelKind::AmplitudeDamping, 2, 1, 1.0},
        {ChannelKind::PhaseDamping, 3, 0, 1.0},
    };
    for (const Entry& entry : table) {
        if (op.channel == entry.kind && op.kraus_count == entry.count &&
            op.kraus_matrices.size() >= static_cast<size_t>(4 * entry.count)) {
            const double re = op.kraus_matrices[4 + entry.element].real();
            return ChannelResult{entry.kind, entry.scale * re * re};
        }
    }
    return std::nullopt;
}

}  // namespace quorra::density
