// Launchers of the density unitary kernels: validation, geometry and launch checks.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <quorra_launch.cuh>
#include <stdexcept>
#include <vector>

#include "dravik_launch.hpp"
#include "dravik_unitary.cuh"
#include "dravik_unitary_kernels.cuh"

namespace quorra::dravik {

namespace {

using launch::blocks_for;
using launch::check_dimension;
using launch::element_geometry;
using launch::kBlockThreads;

void check_controls(int64_t dimension, uint64_t operand_mask, uint64_t control_mask, uint64_t control_values) {
    const uint64_t inside = static_cast<uint64_t>(dimension) - 1;
    if ((control_mask & ~inside) != 0 || (control_values & ~control_mask) != 0 || (control_mask & operand_mask) != 0) {
        throw std::invalid_argument("control masks do not fit the density operation");
    }
}

// Enough blocks to fill the largest GPUs several times; each block then walks many tiles.
constexpr uint64_t kMaxTileBlocks = 2048;

// Each pass is one dense product on the 2n-bit element index row * D + column: the left on
// the row bits (n + target), the right with conj(U) on the column bits.
template <typename T, int K>
void launch_two_pass(CuComplex<T>* data, const DeviceTargets& targets, uint64_t control_mask, uint64_t control_values,
                     const CuComplex<T>* matrix, cudaStream_t stream) {
    const int n = static_cast<int>(targets.count + targets.rest_count);
    std::vector<int> rows(K);
    std::vector<int> columns(K);
    for (int b = 0; b < K; ++b) {
        columns[static_cast<size_t>(b)] = static_cast<int>(targets.targets[b]);
        rows[static_cast<size_t>(b)] = n + columns[static_cast<size_t>(b)];
    }
    constexpr int kTileBits = dense_tile_max_bits<CuComplex<T>>();
    const DenseTilePlan left = make_dense_tile_plan(2 * n, rows, control_mask << n, control_values << n, kTileBits);
    const DenseTilePlan right = make_dense_tile_plan(2 * n, columns, control_mask, control_values, kTileBits);
    launch_kernel(unitary_left_kernel<T, K>, dim3(static_cast<unsigned>(std::min(left.tiles, kMaxTileBlocks))),
                  dim3(kDenseTileThreads), dense_tile_shared_bytes<CuComplex<T>, K>(left), stream, data, matrix, left);
    launch_kernel(unitary_right_kernel<T, K>, dim3(static_cast<unsigned>(std::min(right.tiles, kMaxTileBlocks))),
                  dim3(kDenseTileThreads), dense_tile_shared_bytes<CuComplex<T>, K>(right), stream, data, matrix,
                  right);
}

}  // namespace

DeviceTargets make_device_targets(const std::vector<int64_t>& targets, uint64_t num_qubits) {
    if (targets.empty() || targets.size() > static_cast<size_t>(kMaxDenseTargets)) {
        throw std::runtime_error("GPU density unitary supports at most 6 targets");
    }
    if (num_qubits > kMaxDensityQubits) {
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    }
    DeviceTargets result;
    result.count = static_cast<int64_t>(targets.size());
    uint64_t seen = 0;
    for (size_t b = 0; b < targets.size(); ++b) {
        const int64_t t = targets[b];
        if (t < 0 || static_cast<uint64_t>(t) >= num_qubits || ((seen >> t) & 1) != 0) {
            throw std::runtime_error("invalid or duplicate target qubit");
        }
        seen |= uint64_t{1} << t;
        result.targets[b] = t;
    }
    for (uint64_t q = 0; q < num_qubits; ++q) {
        if (((seen >> q) & 1) == 0) {
            result.rest[result.rest_count++] = static_cast<int64_t>(q);
        }
    }
    return result;
}

template <typename T>
void launch_unitary(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, uint64_t control_mask,
                    uint64_t control_values, const CuComplex<T>* matrix, cudaStream_t stream) {
    const int64_t k = targets.count;
    if (k < 1 || k > kMaxDenseTargets) {
        throw std::runtime_error("GPU density unitary supports at most 6 targets");
    }
    check_dimension(dimension);
    const uint64_t target_mask =
        launch::check_targets(dimension, targets, "unitary targets do not fit the density matrix");
    check_controls(dimension, target_mask, control_mask, control_values);

    const uint64_t groups = uint64_t{1} << targets.rest_count;
    switch (k) {
        case 1:
            launch_kernel(unitary_merged_kernel<T, 1>, dim3(blocks_for(groups * groups)), dim3(kBlockThreads), 0,
                          stream, data, dimension, targets, control_mask, control_values, matrix);
            break;
        case 2:
            launch_kernel(unitary_merged_row2_kernel<T>, dim3(blocks_for(4 * groups * groups)), dim3(kBlockThreads), 0,
                          stream, data, dimension, targets, control_mask, control_values, matrix);
            break;
        case 3:
            launch_two_pass<T, 3>(data, targets, control_mask, control_values, matrix, stream);
            break;
        case 4:
            launch_two_pass<T, 4>(data, targets, control_mask, control_values, matrix, stream);
            break;
        case 5:
            launch_two_pass<T, 5>(data, targets, control_mask, control_values, matrix, stream);
            break;
        default:
            launch_two_pass<T, 6>(data, targets, control_mask, control_values, matrix, stream);
            break;
    }
    // For two passes this also reports a failure of the first launch.
    check_launch("unitary kernel launch failed: ");
}

template <typename T>
void launch_diagonal(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, uint64_t control_mask,
                     uint64_t control_values, CuComplex<T> diag0, CuComplex<T> diag1, cudaStream_t stream) {
    check_dimension(dimension);
    launch::check_single_qubit_mask(dimension, target_mask, "diagonal target does not fit the density matrix");
    check_controls(dimension, target_mask, control_mask, control_values);
    dim3 grid;
    dim3 block;
    element_geometry(dimension, grid, block);
    if (control_mask != 0) {
        launch_kernel(diagonal_controlled_kernel<T>, grid, block, 0, stream, data, dimension, target_mask, control_mask,
                      control_values, diag0, diag1);
    } else {
        const CuComplex<T> a = diag1 * conj(diag0);
        const CuComplex<T> b = diag0 * conj(diag1);
        launch_kernel(diagonal_free_kernel<T>, grid, block, 0, stream, data, dimension, target_mask, a, b);
    }
    check_launch("diagonal kernel launch failed: ");
}

template <typename T>
void launch_permutation(CuComplex<T>* data, int64_t dimension, uint64_t permutation_mask, uint64_t control_mask,
                        uint64_t control_values, bool permutation_is_swap, cudaStream_t stream) {
    check_dimension(dimension);
    const int bits = __builtin_popcountll(permutation_mask);
    if (bits != (permutation_is_swap ? 2 : 1) || permutation_mask >= static_cast<uint64_t>(dimension)) {
        throw std::invalid_argument("permutation qubits do not fit the density matrix");
    }
    check_controls(dimension, permutation_mask, control_mask, control_values);
    dim3 grid;
    dim3 block;
    element_geometry(dimension, grid, block);
    launch_kernel(permutation_kernel<T>, grid, block, 0, stream, data, dimension, permutation_mask, control_mask,
                  control_values, permutation_is_swap);
    check_launch("permutation kernel launch failed: ");
}

#define DRAVIK_INSTANTIATE_UNITARY(T)                                                                                  \
    template void launch_unitary<T>(CuComplex<T>*, int64_t, const DeviceTargets&, uint64_t, uint64_t,                  \
                                    const CuComplex<T>*, cudaStream_t);                                                \
    template void launch_diagonal<T>(CuComplex<T>*, int64_t, uint64_t, uint64_t, uint64_t, CuComplex<T>, CuComplex<T>, \
                                     cudaStream_t);                                                                    \
    template void launch_permutation<T>(CuComplex<T>*, int64_t, uint64_t, uint64_t, uint64_t, bool, cudaStream_t);

DRAVIK_INSTANTIATE_UNITARY(float)
DRAVIK_INSTANTIATE_UNITARY(double)

#undef DRAVIK_INSTANTIATE_UNITARY

}  // namespace quorra::dravik
