// SWAP launcher: control masks, qubit checks, kernel choice by mode, launch check.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <bit>
#include <stdexcept>

#include "gates/velqa_index_bits.cuh"
#include "gates/velqa_swap_kernels.cuh"
#include "quorra_launch.cuh"
#include "runner/velqa_gate_checks.hpp"
#include "runner/velqa_gate_record.hpp"
#include "runner/velqa_kernel_mode.hpp"
#include "velqa_swap.cuh"

namespace velqa {

namespace {

constexpr uint32_t kBlock = 256;
constexpr uint32_t kScanBlock = 512;

// The grids are sized with shifts by n; DeviceState never holds more than 62 qubits.
void check_qubit_count(int64_t n) {
    if (n < 1 || n > 62) {
        throw std::invalid_argument("n must be in [1, 62]");
    }
}

// PairAuto: one thread per exchanged pair, with its own kernels for a target on qubit 0.
template <typename T>
void launch_swap_autopair(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1, const ControlMasks& masks,
                          cudaStream_t stream) {
    const uint64_t b0 = uint64_t{1} << q0;
    const uint64_t b1 = uint64_t{1} << q1;
    const bool controlled = masks.control_mask != 0;
    const bool has_target0 = q0 == 0 || q1 == 0;
    const uint64_t other_bit = q0 == 0 ? b1 : b0;
    if (controlled && !has_target0) {
        const uint64_t items = uint64_t{1} << (n - 2);
        quorra::launch_kernel(swap_control_scan<T>, dim3(grid_blocks(items, kScanBlock)), dim3(kScanBlock), 0, stream,
                              n, state, q0, q1, masks.control_mask, masks.control_value);
    } else if (controlled) {
        const int h = std::popcount(masks.control_mask);
        const uint64_t count = uint64_t{1} << (n - h - 2);
        const uint64_t fixed_mask = masks.control_mask | b0 | b1;
        const uint64_t fixed_value = masks.control_value & ~b0 & ~b1;
        quorra::launch_kernel(swap_target0_compact<T>, dim3(grid_blocks(count, kBlock)), dim3(kBlock), 0, stream, count,
                              state, fixed_mask, fixed_value, other_bit);
    } else if (!has_target0) {
        const uint64_t count = uint64_t{1} << (n - 2);
        const int32_t lo = q0 < q1 ? q0 : q1;
        const int32_t hi = q0 < q1 ? q1 : q0;
        quorra::launch_kernel(swap_no_control<T>, dim3(grid_blocks(count, kBlock)), dim3(kBlock), 0, stream, count,
                              state, lo, hi, b0, b1);
    } else {
        const uint64_t count = uint64_t{1} << (n - 2);
        quorra::launch_kernel(swap_target0_no_control<T>, dim3(grid_blocks(count, kBlock)), dim3(kBlock), 0, stream,
                              count, state, other_bit);
    }
}

}  // namespace

template <typename T>
void cu_swap(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1, const std::vector<int64_t>& controls,
             const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
    check_qubit_count(n);
    const ControlMasks masks = build_control_masks(controls, control_state);
    check_gate_qubits(n, {q0, q1}, controls);

    if (mode == KernelMode::AllState) {
        const uint64_t items = uint64_t{1} << n;
        quorra::launch_kernel(cu_swap_kernel_all_state<T>, dim3(grid_blocks(items, kBlock)), dim3(kBlock), 0, stream, n,
                              state, q0, q1, masks.control_mask, masks.control_value);
    } else if (mode == KernelMode::PairAuto) {
        launch_swap_autopair(n, state, q0, q1, masks, stream);
    } else {
        const uint64_t items = uint64_t{1} << (n - 1);
        quorra::launch_kernel(cu_swap_kernel_pair<T>, dim3(grid_blocks(items, kBlock)), dim3(kBlock), 0, stream, n,
                              state, q0, q1, masks.control_mask, masks.control_value);
    }
    check_launch("cu_swap");
}

template void cu_swap<float>(int64_t, CuComplex<float>*, int32_t, int32_t, const std::vector<int64_t>&,
                             const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_swap<double>(int64_t, CuComplex<double>*, int32_t, int32_t, const std::vector<int64_t>&,
                              const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace velqa
