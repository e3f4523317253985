// Density kernels at tiles whose element indices (row * D + column) pass 2^32: the fused group
// kernel and the three-to-six-target unitary's two dense tile passes, on an 18-qubit matrix
// (2^36 elements, more than the module takes today, so that the kernels' own index arithmetic
// is what keeps the elements apart). As for the state-vector tiles, the kernels run at a grid of
// about half their tile count, so each chosen block walks two tiles high in the index space; only
// those tiles are filled, in reserved address space, and compared against the test's own
// per-tile reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "../large_index_tiles.h"
#include "hostcuda_block_select.h"
#include "kernels/density_sparsesharemem.cuh"
#include "kernels/density_sparsesharemem_kernels.cuh"
#include "kernels/dravik_unitary_kernels.cuh"
#include "quorra_dense_tile.cuh"
#include "quorra_launch.cuh"

namespace {

using large_index::cd;
using large_index::DeviceArray;
using large_index::tolerance;
using quorra::dravik::CuComplex;
using quorra::dravik::DensityGateKind;
using quorra::dravik::DeviceDensityGate;

constexpr int kQubits = 18;
constexpr uint64_t kDimension = uint64_t{1} << kQubits;

template <typename T>
CuComplex<T>* reserve_matrix(hostcuda::SparseReservation& memory) {
    EXPECT_TRUE(memory.valid()) << "the system refused to reserve the matrix's address space";
    return static_cast<CuComplex<T>*>(memory.data());
}

// ---- fused group -------------------------------------------------------------------------------

// A gate of a fused group in the tile's local bits, as the test applies it.
struct Gate {
    DensityGateKind kind;
    int target;
    int control_mask;
    int control_values;
    std::vector<cd> u;  // Matrix: the 2x2 unitary; Diagonal: {d0, d1}
};

// rho <- U_c rho U_c^dagger on one 2^k x 2^k tile (row-major), the test's own way: U acts on the
// rows whose local index meets the controls, U^dagger on such columns.
std::vector<cd> apply_gates(std::vector<cd> rho, int k, const std::vector<Gate>& gates) {
    const uint64_t side = uint64_t{1} << k;
    const auto at = [&](uint64_t r, uint64_t c) -> cd& { return rho[r * side + c]; };
    for (const Gate& g : gates) {
        const uint64_t bit = uint64_t{1} << g.target;
        const auto on = [&](uint64_t x) {
            return (x & static_cast<uint64_t>(g.control_mask)) == static_cast<uint64_t>(g.control_values);
        };
        if (g.kind == DensityGateKind::Diagonal) {
            const auto factor = [&](uint64_t x) { return !on(x) ? cd(1) : (x & bit) != 0 ? g.u[1] : g.u[0]; };
            for (uint64_t r = 0; r < side; ++r) {
                for (uint64_t c = 0; c < side; ++c) {
                    at(r, c) *= factor(r) * std::conj(factor(c));
                }
            }
            continue;
        }
        const std::vector<cd> u = g.kind == DensityGateKind::Flip ? std::vector<cd>{0, 1, 1, 0} : g.u;
        for (uint64_t r = 0; r < side; ++r) {
            if ((r & bit) != 0 || !on(r)) {
                continue;
            }
            for (uint64_t c = 0; c < side; ++c) {
                const cd a0 = at(r, c);
                const cd a1 = at(r | bit, c);
                at(r, c) = u[0] * a0 + u[1] * a1;
                at(r | bit, c) = u[2] * a0 + u[3] * a1;
            }
        }
        for (uint64_t c = 0; c < side; ++c) {
            if ((c & bit) != 0 || !on(c)) {
                continue;
            }
            for (uint64_t r = 0; r < side; ++r) {
                const cd a0 = at(r, c);
                const cd a1 = at(r, c | bit);
                at(r, c) = a0 * std::conj(u[0]) + a1 * std::conj(u[1]);
                at(r, c | bit) = a0 * std::conj(u[2]) + a1 * std::conj(u[3]);
            }
        }
    }
    return rho;
}

template <typename T>
std::vector<DeviceDensityGate<T>> device_gates(const std::vector<Gate>& gates) {
    std::vector<DeviceDensityGate<T>> out;
    for (const Gate& g : gates) {
        DeviceDensityGate<T> d;
        d.kind = static_cast<int32_t>(g.kind);
        d.target = g.target;
        d.control_mask = g.control_mask;
        d.control_values = g.control_values;
        if (g.kind == DensityGateKind::Matrix) {
            for (int e = 0; e < 4; ++e) {
                d.matrix[e] = large_index::to_element<CuComplex<T>>(g.u[static_cast<size_t>(e)]);
            }
        } else if (g.kind == DensityGateKind::Diagonal) {
            d.diag0 = large_index::to_element<CuComplex<T>>(g.u[0]);
            d.diag1 = large_index::to_element<CuComplex<T>>(g.u[1]);
        } else {
            d.flip_mask = 1 << g.target;
        }
        out.push_back(d);
    }
    return out;
}

// Mixing gates on every local bit (several runs of cube bits), controlled and not.
std::vector<Gate> gates_for(int k) {
    const double r = 1.0 / std::sqrt(2.0);
    const std::vector<cd> rotation{cd(0.6, 0.0), cd(0.0, -0.8), cd(0.0, -0.8), cd(0.6, 0.0)};
    const std::vector<cd> general{cd(r, 0), cd(0, r), cd(0.5, 0.5), cd(-0.5, 0.5)};
    const int top = k - 1;
    std::vector<Gate> gates{
        {DensityGateKind::Matrix, top, k > 1 ? 1 : 0, k > 1 ? 1 : 0, general},
        {DensityGateKind::Flip, 0, k > 1 ? 1 << top : 0, 0, {}},
        {DensityGateKind::Diagonal, top / 2, 0, 0, {std::polar(1.0, 0.4), std::polar(1.0, -1.2)}},
        {DensityGateKind::Matrix, top / 2, 0, 0, rotation},
        {DensityGateKind::Matrix, 0, 0, 0, {r, r, r, -r}},
        {DensityGateKind::Flip, top, 0, 0, {}},
    };
    return gates;
}

// Tile t has row part t >> (n - k) and column part t & (2^(n-k) - 1), each spread over the
// inactive bits; local row and column x sit at deposit(x, active).
template <typename T>
void check_fused(uint64_t active_mask, uint64_t grid, const std::vector<unsigned long long>& blocks) {
    const int k = std::popcount(active_mask);
    SCOPED_TRACE("k = " + std::to_string(k));
    const uint64_t inactive_mask = (kDimension - 1) & ~active_mask;
    const int rest = kQubits - k;
    const uint64_t tiles = uint64_t{1} << (2 * rest);
    const uint64_t side = uint64_t{1} << k;
    hostcuda::SparseReservation memory(kDimension * kDimension * sizeof(CuComplex<T>));
    CuComplex<T>* data = reserve_matrix<T>(memory);
    ASSERT_NE(data, nullptr);

    std::vector<uint64_t> indices;
    size_t tiles_walked = 0;
    size_t tiles_above = 0;
    for (const unsigned long long b : blocks) {
        const std::vector<uint64_t> walked = large_index::tiles_of_block(b, grid, tiles);
        ASSERT_GE(walked.size(), 2U) << "block " << b << " must walk several tiles";
        tiles_walked += walked.size();
        for (const uint64_t t : walked) {
            const uint64_t row_base = large_index::deposit(t >> rest, inactive_mask);
            const uint64_t col_base = large_index::deposit(t & ((uint64_t{1} << rest) - 1), inactive_mask);
            ASSERT_GE((row_base | active_mask) * kDimension, uint64_t{1} << 34) << "tile " << t << " must reach 2^34";
            tiles_above += row_base * kDimension >= uint64_t{1} << 32 ? 1 : 0;
            for (uint64_t r = 0; r < side; ++r) {
                for (uint64_t c = 0; c < side; ++c) {
                    indices.push_back((row_base | large_index::deposit(r, active_mask)) * kDimension +
                                      (col_base | large_index::deposit(c, active_mask)));
                }
            }
        }
    }
    ASSERT_GE(tiles_above, tiles_walked / 2) << "most tiles must lie wholly above 2^32";
    const std::vector<cd> before = large_index::fill(data, indices, 31337);
    const std::vector<Gate> gates = gates_for(k);
    std::vector<cd> expected;
    for (size_t tile = 0; tile < tiles_walked; ++tile) {
        const std::vector<cd> rho(before.begin() + tile * side * side, before.begin() + (tile + 1) * side * side);
        const std::vector<cd> out = apply_gates(rho, k, gates);
        expected.insert(expected.end(), out.begin(), out.end());
    }

    const DeviceArray<DeviceDensityGate<T>> records(device_gates<T>(gates));
    {
        hostcuda::BlockSelection selection(blocks);
        // The launcher's block size: a thread per 4x4 cube, at least a warp.
        const unsigned threads = std::max(32U, 1U << (2 * (k - std::min(k, 2))));
        quorra::launch_kernel(quorra::dravik::density_sparsesharemem_kernel<T>, dim3(static_cast<unsigned>(grid)),
                              dim3(threads), side * side * sizeof(CuComplex<T>), nullptr, data,
                              static_cast<int64_t>(kDimension), tiles, active_mask, inactive_mask, int64_t{k},
                              int64_t{rest}, records.get(), static_cast<int64_t>(gates.size()));
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        ASSERT_EQ(selection.blocks_run(), blocks.size());
    }
    large_index::expect_elements(data, indices, expected, tolerance<T>());
}

// Active qubits low (0 to 2, or 0) and high (16, 17); the inactive bits carry the tile's row and
// column parts. Blocks from 2^(2 rest - 2) up have row bit 14 set, and their second tile (one
// grid of 2^(2 rest - 1) - 3 later) row bit 15.
template <typename T>
void run_fused_cases() {
    const uint64_t high = (uint64_t{1} << 16) | (uint64_t{1} << 17);
    for (const uint64_t active : {0x7 | high, 0x1 | high, uint64_t{1} << 17}) {
        const int rest = kQubits - std::popcount(active);
        // One active qubit: 2^34 tiles, more than a grid holds, so its blocks walk eight tiles.
        const uint64_t grid = std::min((uint64_t{1} << (2 * rest - 1)) - 3, uint64_t{0x7fffffff});
        const uint64_t quarter = std::min(uint64_t{1} << (2 * rest - 2), grid - 5000);
        check_fused<T>(active, grid, {grid - 1, quarter + 4321, quarter});
    }
}

TEST(DensityLargeIndex, FusedGroupComplex64) { run_fused_cases<float>(); }
TEST(DensityLargeIndex, FusedGroupComplex128) { run_fused_cases<double>(); }

// ---- unitary of three to six targets: the left and the right dense tile pass ------------------

// The left pass (U on the row bits n + target, controls on the row) or the right pass (conj(U)
// on the column bits, controls on the column) alone, on the 2n-bit element index.
template <typename T, int K>
void check_unitary_pass(bool left, const std::vector<int>& targets, uint64_t control_mask, uint64_t control_values) {
    SCOPED_TRACE(std::string(left ? "left" : "right") + " pass, K = " + std::to_string(K));
    hostcuda::SparseReservation memory(kDimension * kDimension * sizeof(CuComplex<T>));
    CuComplex<T>* data = reserve_matrix<T>(memory);
    ASSERT_NE(data, nullptr);
    std::vector<int> positions = targets;
    const int shift = left ? kQubits : 0;
    for (int& p : positions) {
        p += shift;
    }
    const quorra::DenseTilePlan plan =
        quorra::make_dense_tile_plan(2 * kQubits, positions, control_mask << shift, control_values << shift,
                                     quorra::dense_tile_max_bits<CuComplex<T>>());
    const std::vector<cd> m = large_index::dense_matrix(uint64_t{1} << K);
    const DeviceArray<CuComplex<T>> matrix(large_index::to_elements<CuComplex<T>>(m));
    const uint64_t grid = plan.tiles / 2 - 3;
    const auto launch = [&] {
        const size_t shared = quorra::dense_tile_shared_bytes<CuComplex<T>, K>(plan);
        if (left) {
            quorra::launch_kernel(quorra::dravik::unitary_left_kernel<T, K>, dim3(static_cast<unsigned>(grid)),
                                  dim3(quorra::kDenseTileThreads), shared, nullptr, data, matrix.get(), plan);
        } else {
            quorra::launch_kernel(quorra::dravik::unitary_right_kernel<T, K>, dim3(static_cast<unsigned>(grid)),
                                  dim3(quorra::kDenseTileThreads), shared, nullptr, data, matrix.get(), plan);
        }
    };
    large_index::check_dense_tiles(data, 2 * kQubits, plan, positions, control_mask << shift, m, !left, grid,
                                   {grid - 1, plan.tiles / 4 + 999, plan.tiles / 4}, launch, tolerance<T>());
}

// Left-pass targets among the low qubits and right-pass targets among the high ones, so that in
// both passes the two highest tile-numbering bits are index bits 32 and up.
template <typename T>
void run_unitary_cases() {
    check_unitary_pass<T, 3>(true, {0, 3, 5}, 1 << 1, 1 << 1);
    check_unitary_pass<T, 3>(false, {17, 2, 16}, 1 << 15, 0);
    check_unitary_pass<T, 4>(true, {4, 0, 2, 6}, 0, 0);
    check_unitary_pass<T, 4>(false, {16, 0, 17, 15}, 1 << 3, 1 << 3);
    check_unitary_pass<T, 5>(true, {1, 0, 2, 3, 4}, 1 << 6, 0);
    check_unitary_pass<T, 6>(true, {5, 0, 4, 1, 3, 2}, 0, 0);
    check_unitary_pass<T, 6>(false, {17, 16, 15, 14, 13, 0}, 1 << 1, 1 << 1);
}

TEST(DensityLargeIndex, UnitaryThreeToSixTargetsComplex64) { run_unitary_cases<float>(); }
TEST(DensityLargeIndex, UnitaryThreeToSixTargetsComplex128) { run_unitary_cases<double>(); }

}  // namespace
