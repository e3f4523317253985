// UNITARY launcher: validation, strategy by target count, device buffers, stream sync;
// six targets and more run through the chunked dense product of the DenseMM executor.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <bit>
#include <stdexcept>

#include "fusion/velqa_densemm.cuh"
#include "gates/velqa_index_bits.cuh"
#include "gates/velqa_unitary_kernels.cuh"
#include "quorra_device_buffer.cuh"
#include "quorra_launch.cuh"
#include "runner/velqa_gate_checks.hpp"
#include "runner/velqa_gate_record.hpp"
#include "runner/velqa_kernel_mode.hpp"
#include "velqa_unitary.cuh"

namespace velqa {

namespace {

constexpr uint32_t kBlock = 256;

template <typename E>
void upload(quorra::DeviceBuffer& buffer, const std::vector<E>& host, cudaStream_t stream) {
    check_cuda(cudaMemcpyAsync(buffer.as<E>(), host.data(), host.size() * sizeof(E), cudaMemcpyHostToDevice, stream));
}

template <typename T>
CuComplex<T> to_element(std::complex<double> value) {
    return CuComplex<T>{static_cast<T>(value.real()), static_cast<T>(value.imag())};
}

template <typename T>
void launch_one_target(int64_t n, CuComplex<T>* state, int32_t target, const ControlMasks& masks,
                       const std::vector<std::complex<double>>& matrix, cudaStream_t stream, KernelMode mode) {
    const Unitary2x2<T> u{to_element<T>(matrix[0]), to_element<T>(matrix[1]), to_element<T>(matrix[2]),
                          to_element<T>(matrix[3])};
    if (mode != KernelMode::PairAuto) {
        const uint64_t items = uint64_t{1} << (n - 1);
        quorra::launch_kernel(cu_unitary_1q_inplace_kernel<T>, dim3(grid_blocks(items, kBlock)), dim3(kBlock), 0,
                              stream, n, state, target, masks.control_mask, masks.control_value, u);
        return;
    }
    const uint64_t target_bit = uint64_t{1} << target;
    const int h = std::popcount(masks.control_mask);
    const uint64_t count = uint64_t{1} << (n - h - 1);
    const dim3 grid(grid_blocks(count, kBlock));
    const uint64_t fixed_mask = masks.control_mask | target_bit;
    const uint64_t fixed_value = masks.control_value & ~target_bit;
    if (h > 0 && target != 0) {
        quorra::launch_kernel(unitary_1q_compact<T>, grid, dim3(kBlock), 0, stream, count, state, fixed_mask,
                              fixed_value, target_bit, u);
    } else if (h > 0) {
        quorra::launch_kernel(unitary_1q_target0_compact<T>, grid, dim3(kBlock), 0, stream, count, state, fixed_mask,
                              fixed_value, u);
    } else if (target != 0) {
        quorra::launch_kernel(unitary_1q_no_control<T>, grid, dim3(kBlock), 0, stream, count, state, target_bit, u);
    } else {
        quorra::launch_kernel(unitary_1q_target0_no_control<T>, grid, dim3(kBlock), 0, stream, count, state, u);
    }
}

template <typename T>
void launch_two_targets(int64_t n, CuComplex<T>* state, int32_t q0, int32_t q1, const ControlMasks& masks,
                        const std::vector<std::complex<double>>& matrix, cudaStream_t stream, KernelMode mode) {
    Unitary4x4<T> u;
    for (int e = 0; e < 16; ++e) {
        u.m[e] = to_element<T>(matrix[static_cast<size_t>(e)]);
    }
    if (mode != KernelMode::PairAuto) {
        const uint64_t items = uint64_t{1} << (n - 2);
        quorra::launch_kernel(cu_unitary_2q_inplace_kernel<T>, dim3(grid_blocks(items, kBlock)), dim3(kBlock), 0,
                              stream, n, state, q0, q1, masks.control_mask, masks.control_value, u);
        return;
    }
    const uint64_t b0 = uint64_t{1} << q0;
    const uint64_t b1 = uint64_t{1} << q1;
    const int h = std::popcount(masks.control_mask);
    const bool controlled = h > 0;
    const uint64_t count = uint64_t{1} << (n - h - 2);
    const dim3 grid(grid_blocks(count, kBlock));
    const uint64_t fixed_mask = masks.control_mask | b0 | b1;
    const uint64_t fixed_value = masks.control_value & ~b0 & ~b1;
    if (q0 != 0 && q1 != 0) {
        if (controlled) {
            quorra::launch_kernel(unitary_2q_compact<T>, grid, dim3(kBlock), 0, stream, count, state, fixed_mask,
                                  fixed_value, b0, b1, u);
        } else {
            quorra::launch_kernel(unitary_2q_no_control<T>, grid, dim3(kBlock), 0, stream, count, state,
                                  std::min(q0, q1), std::max(q0, q1), b0, b1, u);
        }
        return;
    }
    const uint64_t other_bit = q0 == 0 ? b1 : b0;
    const uint64_t pass_mask = controlled ? fixed_mask : 0;
    const uint64_t pass_value = controlled ? fixed_value : 0;
    auto kernel = q0 == 0 ? (controlled ? unitary_2q_target0<T, true, true> : unitary_2q_target0<T, true, false>)
                          : (controlled ? unitary_2q_target0<T, false, true> : unitary_2q_target0<T, false, false>);
    quorra::launch_kernel(kernel, grid, dim3(kBlock), 0, stream, count, state, other_bit, pass_mask, pass_value, u);
}

// Enough blocks to fill the largest GPUs several times; each block then walks many tiles
// with the matrix staged once.
constexpr uint64_t kMaxTileBlocks = 2048;

template <typename T, int K>
void launch_inplace(int64_t n, CuComplex<T>* state, const int64_t* targets, const int64_t* sorted_targets,
                    uint64_t target_mask, const ControlMasks& masks, const CuComplex<T>* matrix,
                    const std::vector<int64_t>& host_targets, cudaStream_t stream) {
    const std::vector<int> positions(host_targets.begin(), host_targets.end());
    const quorra::DenseTilePlan plan =
        quorra::make_dense_tile_plan(static_cast<int>(n), positions, masks.control_mask, masks.control_value,
                                     quorra::dense_tile_max_bits<CuComplex<T>>());
    const uint64_t blocks = std::min(plan.tiles, kMaxTileBlocks);
    quorra::launch_kernel(cu_unitary_inplace_kernel<T, K>, dim3(static_cast<uint32_t>(blocks)),
                          dim3(quorra::kDenseTileThreads), quorra::dense_tile_shared_bytes<CuComplex<T>, K>(plan),
                          stream, n, state, targets, sorted_targets, target_mask, masks.control_mask,
                          masks.control_value, matrix, plan);
}

// Entry (r, c) of `matrix` (bit j of an index = targets[j]) moved to the position whose bit b
// is sorted_targets[b], the order the dense product uses.
template <typename T>
std::vector<CuComplex<T>> reorder_to_sorted_targets(const std::vector<CuComplex<T>>& matrix,
                                                    const std::vector<int64_t>& targets,
                                                    const std::vector<int64_t>& sorted_targets) {
    const size_t k = targets.size();
    const size_t dim = size_t{1} << k;
    std::vector<size_t> rank(k);  // bit j of a record index is bit rank[j] of a sorted one
    for (size_t j = 0; j < k; ++j) {
        rank[j] = static_cast<size_t>(std::lower_bound(sorted_targets.begin(), sorted_targets.end(), targets[j]) -
                                      sorted_targets.begin());
    }
    std::vector<size_t> sorted_of(dim);
    for (size_t r = 0; r < dim; ++r) {
        size_t out = 0;
        for (size_t j = 0; j < k; ++j) {
            out |= ((r >> j) & 1U) << rank[j];
        }
        sorted_of[r] = out;
    }
    std::vector<CuComplex<T>> sorted(matrix.size());
    for (size_t r = 0; r < dim; ++r) {
        for (size_t c = 0; c < dim; ++c) {
            sorted[sorted_of[r] * dim + sorted_of[c]] = matrix[r * dim + c];
        }
    }
    return sorted;
}

}  // namespace

template <typename T>
void cu_unitary(int64_t n, CuComplex<T>* state, const std::vector<int64_t>& targets,
                const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state,
                const std::vector<std::complex<double>>& matrix, int64_t matrix_dim, cudaStream_t stream,
                KernelMode mode) {
    if (n < 1 || n > 62) {
        // The grids are sized with shifts by n; DeviceState never holds more than 62 qubits.
        throw std::invalid_argument("n must be in [1, 62]");
    }
    const size_t k = targets.size();
    if (k == 0) {
        throw std::invalid_argument("UNITARY gate requires at least one target.");
    }
    // 2^k is only formed for k below 63; no valid record comes near that.
    if (k > 62 || matrix_dim != (int64_t{1} << k)) {
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
    }
    // Divide instead of squaring matrix_dim, which overflows from k = 32 on.
    const size_t dim = static_cast<size_t>(matrix_dim);
    if (matrix.size() % dim != 0 || matrix.size() / dim != dim) {
        throw std::invalid_argument("UNITARY matrix size mismatch.");
    }
    const ControlMasks masks = build_control_masks(controls, control_state);
    uint64_t target_mask = 0;
    for (const int64_t target : targets) {
        if (target < 0 || target > 62) {
            throw std::invalid_argument("target qubit index must be in [0, 62]");
        }
        target_mask |= uint64_t{1} << target;
    }
    check_gate_qubits(n, targets, controls);

    if (k == 1) {
        launch_one_target(n, state, static_cast<int32_t>(targets[0]), masks, matrix, stream, mode);
    } else if (k == 2) {
        launch_two_targets(n, state, static_cast<int32_t>(targets[0]), static_cast<int32_t>(targets[1]), masks, matrix,
                           stream, mode);
    }
    if (k <= 2) {
        check_cuda(cudaGetLastError());
        check_cuda(cudaStreamSynchronize(stream));
        return;
    }

    // Host copies are declared before the device buffers so that on an error path the buffers
    // (whose frees wait for the device) go first and no pending upload reads a freed host copy.
    std::vector<CuComplex<T>> host_matrix(matrix.size());
    std::transform(matrix.begin(), matrix.end(), host_matrix.begin(), to_element<T>);
    std::vector<int64_t> sorted_targets(targets);
    std::sort(sorted_targets.begin(), sorted_targets.end());

    if (k <= 5) {
        quorra::DeviceBuffer device_matrix = allocate_call_buffer(sizeof(CuComplex<T>) * host_matrix.size());
        upload(device_matrix, host_matrix, stream);
        quorra::DeviceBuffer device_targets = allocate_call_buffer(sizeof(int64_t) * k);
        upload(device_targets, targets, stream);
        quorra::DeviceBuffer device_sorted = allocate_call_buffer(sizeof(int64_t) * k);
        upload(device_sorted, sorted_targets, stream);
        const auto* t = device_targets.as<const int64_t>();
        const auto* s = device_sorted.as<const int64_t>();
        const auto* m = device_matrix.as<const CuComplex<T>>();
        if (k == 3) {
            launch_inplace<T, 3>(n, state, t, s, target_mask, masks, m, targets, stream);
        } else if (k == 4) {
            launch_inplace<T, 4>(n, state, t, s, target_mask, masks, m, targets, stream);
        } else {
            launch_inplace<T, 5>(n, state, t, s, target_mask, masks, m, targets, stream);
        }
        check_cuda(cudaGetLastError());
        check_cuda(cudaStreamSynchronize(stream));
        check_cuda(device_targets.free());
        check_cuda(device_matrix.free());
        check_cuda(device_sorted.free());
        return;
    }

    // Six targets and more: in place, the dense product of the fused DenseMM groups over
    // chunks of the groups that satisfy the controls, through two bounded buffers. The product
    // numbers local bits by ascending qubit, so the matrix is reordered from the record's
    // target order.
    const std::vector<CuComplex<T>> sorted_matrix = reorder_to_sorted_targets(host_matrix, targets, sorted_targets);
    const fusion::DenseLayout layout{target_mask, ((uint64_t{1} << n) - 1) & ~target_mask & ~masks.control_mask,
                                     masks.control_value, static_cast<int>(k)};
    const uint64_t columns = uint64_t{1} << std::popcount(layout.column_mask);
    const uint64_t chunk_columns =
        std::min(fusion::dense_chunk_columns(n, static_cast<int64_t>(k), sizeof(CuComplex<T>)), columns);
    fusion::DenseMMCache<T>& cache = fusion::DenseMMCache<T>::for_this_thread();
    cache.ensure_capacity(0);  // the thread's cuBLAS handle; its buffers are the fused groups'
    quorra::DeviceBuffer device_matrix = allocate_call_buffer(sizeof(CuComplex<T>) * sorted_matrix.size());
    upload(device_matrix, sorted_matrix, stream);
    quorra::DeviceBuffer gathered =
        allocate_call_buffer(sizeof(CuComplex<T>) * static_cast<size_t>(chunk_columns << k));
    quorra::DeviceBuffer product = allocate_call_buffer(sizeof(CuComplex<T>) * static_cast<size_t>(chunk_columns << k));
    fusion::launch_dense_product<T>(cache.handle(), state, layout, chunk_columns, gathered.as<CuComplex<T>>(),
                                    product.as<CuComplex<T>>(), device_matrix.as<const CuComplex<T>>(), stream);
    check_cuda(cudaGetLastError());
    check_cuda(cudaStreamSynchronize(stream));
    check_cuda(device_matrix.free());
    check_cuda(gathered.free());
    check_cuda(product.free());
}

template void cu_unitary<float>(int64_t, CuComplex<float>*, const std::vector<int64_t>&, const std::vector<int64_t>&,
                                const std::vector<int64_t>&, const std::vector<std::complex<double>>&, int64_t,
                                cudaStream_t, KernelMode);
template void cu_unitary<double>(int64_t, CuComplex<double>*, const std::vector<int64_t>&, const std::vector<int64_t>&,
                                 const std::vector<int64_t>&, const std::vector<std::complex<double>>&, int64_t,
                                 cudaStream_t, KernelMode);

}  // namespace velqa
