// Density operation records: the classification of a record's name and channel name (done
// once, when the record is read), validation, and recognition of diagonal, permutation and
// built-in channel operations.
// Plain C++ (no CUDA); read by nvcc and g++ alike.
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorra::density {

enum class DensityOperationKind : int32_t { Unitary = 0, Kraus = 1 };

// The built-in single-qubit noise channels; the values select kernel instantiations.
enum class ChannelKind : int32_t {
    BitFlip = 1,
    PhaseFlip = 2,
    Depolarizing = 3,
    AmplitudeDamping = 4,
    PhaseDamping = 5,
};

// The named operations, aliases folded in (cx, cnot and mcx are X, and so on). Unknown:
// a name no table holds, refused when its matrix is needed.
enum class NamedOperation : int32_t {
    Unknown,
    X,
    Y,
    Z,
    MinusZ,
    H,
    S,
    SDag,
    T,
    TDag,
    SqrtX,
    SqrtXDag,
    SqrtY,
    SqrtYDag,
    X2P,
    X2M,
    Y2P,
    Y2M,
    RX,
    RY,
    RZ,
    P,
    GP,
    RXY,
    U,
    Swap,
};

// One operation of a run, as read from its Python object. Set the names through
// set_operation_name and set_channel_name, which classify them; nothing reads the texts
// after that but the messages.
struct DensityOperation {
    DensityOperationKind kind = DensityOperationKind::Unitary;
    std::string name;  // as given, for messages
    NamedOperation named = NamedOperation::Unknown;
    std::vector<int64_t> targets;
    std::vector<int64_t> controls;
    std::vector<int64_t> control_state;
    std::vector<double> parameters;
    std::vector<std::complex<double>> stored_matrix;  // row-major
    bool has_stored_matrix = false;
    std::optional<ChannelKind> channel;  // the built-in channel a Kraus record names, if any
    int64_t kraus_dimension = 0;
    int64_t kraus_count = 0;
    std::vector<std::complex<double>> kraus_matrices;  // kraus_count matrices, each row-major
};

// Unitaries wider than this are refused (per-thread vectors of the dense kernels).
constexpr size_t kMaxUnitaryTargets = 6;
// General Kraus maps wider than this are refused (per-thread blocks of the Kraus kernel).
constexpr size_t kMaxKrausTargets = 3;

// The operation a name stands for, the controlled and multi-controlled aliases included.
NamedOperation parse_operation_name(const std::string& name);
// Keeps `name` for messages and its classification in op.named.
void set_operation_name(DensityOperation& op, std::string name);
// The built-in channel of a channel name ("bit_flip", "phase_flip", "depolarizing",
// "amplitude_damping", "phase_damping"), or none.
std::optional<ChannelKind> parse_channel_name(const std::string& name);
void set_channel_name(DensityOperation& op, const std::string& name);

// The row-major matrix of a named operation (2x2, or 4x4 for "swap"), computed in single
// precision when is_double is false (the values are then exactly floats).
std::vector<std::complex<double>> named_operation_matrix(const DensityOperation& op, bool is_double);

// Parameter count first, then finiteness.
void check_parameter_count(const DensityOperation& op, size_t expected);

// Checks targets, controls and control states against an n-qubit register, in a fixed order.
void validate_unitary_operation(const DensityOperation& op, int64_t num_qubits);
void validate_kraus_operation(const DensityOperation& op, int64_t num_qubits);
// Finiteness, then element count (2^k)^2 for k targets.
void validate_stored_matrix(const DensityOperation& op);

struct ControlMasks {
    uint64_t control_mask = 0;    // OR of 1 << c over the controls
    uint64_t control_values = 0;  // those of them whose control_state is 1
};
// For records that passed validate_unitary_operation.
ControlMasks build_control_masks(const DensityOperation& op);

struct DiagonalResult {
    bool is_noop = false;  // an uncontrolled global phase: nothing to do
    std::complex<double> diag0{1.0, 0.0};
    std::complex<double> diag1{1.0, 0.0};
};
// Named operations that are diagonal on one target; factors in the run's precision.
std::optional<DiagonalResult> classify_diagonal(const DensityOperation& op, bool is_double);

struct PermutationResult {
    uint64_t permutation_mask = 0;
    bool permutation_is_swap = false;
};
// "x" on one target and "swap" on two.
std::optional<PermutationResult> classify_permutation(const DensityOperation& op);

struct ChannelResult {
    ChannelKind kind = ChannelKind::BitFlip;
    double parameter = 0.0;
};
// Kraus records that name a built-in channel with the expected shape.
std::optional<ChannelResult> classify_channel(const DensityOperation& op);

}  // namespace quorra::density
