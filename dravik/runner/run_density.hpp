// The density runner: prepares every operation of a run, uploads the run's matrices in
// one pool, launches in operation order and waits for the device once.
// Host C++; reaches the device through the kernel launchers.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "../kernels/dravik_unitary.cuh"
#include "../state/dravik_device_state.cuh"
#include "density_operation.hpp"

namespace quorra::density {

// The pass that runs a prepared operation.
enum class DensityPass : int32_t {
    Noop,         // an uncontrolled global phase
    Permutation,  // X or SWAP, controls allowed
    Diagonal,     // a diagonal named unitary on one target
    Channel,      // a built-in single-qubit channel
    Kraus,        // a general Kraus map
    Unitary,      // a dense unitary from the pool
};

// One operation ready for launch.
struct PreparedDensityOp {
    DensityOperationKind kind = DensityOperationKind::Unitary;
    DensityPass pass = DensityPass::Unitary;
    dravik::DeviceTargets targets;  // dense unitaries and general Kraus maps
    uint64_t control_mask = 0;
    uint64_t control_values = 0;
    int64_t kraus_count = 0;
    int64_t matrix_offset = 0;  // first element of the operation's matrices in the pool
    uint64_t target_mask = 0;   // diagonal and channel passes
    std::complex<double> diag0{1.0, 0.0};
    std::complex<double> diag1{1.0, 0.0};
    uint64_t permutation_mask = 0;
    bool permutation_is_swap = false;
    int32_t channel_kind = 0;
    double channel_parameter = 0.0;
};

// True when QUORRA_DENSITY_FUSION is set, non-empty and does not start with '0'.
bool density_fusion_enabled();

// Validates one record against an n-qubit register and appends its dense matrices (in
// the precision T) to the pool. Throws the record's validation message.
template <typename T>
PreparedDensityOp prepare_density_operation(const DensityOperation& op, int64_t num_qubits,
                                            std::vector<dravik::CuComplex<T>>& matrix_pool);

// Launches one prepared operation on the default stream; does not wait for the device.
template <typename T>
void dispatch_prepared_op(const PreparedDensityOp& op, dravik::DeviceDensityState& state,
                          const dravik::CuComplex<T>* device_pool);

// Runs the operations in order on the state and waits for the device. Every operation is
// validated before anything is launched, so a refused list leaves the matrix unchanged.
void run_density_operations(dravik::DeviceDensityState& state, int64_t num_qubits,
                            const std::vector<DensityOperation>& operations);

}  // namespace quorra::density
