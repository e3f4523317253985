// Tiled kernels of 37-qubit states at tiles whose element indices pass 2^32: the fused
// SparseShareMem kernel and the three-to-five-target UNITARY kernel (the shared dense tile
// product). Their blocks stride over tiles, so a chosen block of the launcher's grid would walk
// the whole state; instead the kernel runs at a grid of about half the tile count, where each
// chosen block walks two (or, for small tiles, several) tiles high in the index space, including
// the step from one to the next. Only the elements of those tiles are filled, in reserved address
// space, and compared against the test's own per-tile reference.
#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "../large_index_tiles.h"
#include "fusion/velqa_sparsesharemem_kernels.cuh"
#include "gates/velqa_unitary_kernels.cuh"
#include "hostcuda_block_select.h"
#include "quorra_dense_tile.cuh"
#include "quorra_launch.cuh"

namespace {

using large_index::cd;
using large_index::DeviceArray;
using large_index::tolerance;
using velqa::CuComplex;
using velqa::fusion::DeviceMatrixGate;
using velqa::fusion::MatrixGateKind;

constexpr int64_t kQubits = 37;

// ---- SparseShareMem ------------------------------------------------------------------------------

// A record in the tile's local bits and its 2x2 matrix (Swap: none).
struct Record {
    MatrixGateKind kind;
    int target0;
    int target1;
    int control_mask;
    int control_value;
    std::vector<cd> m;
};

// The records applied in order to one tile's 2^k amplitudes, the test's own way.
std::vector<cd> apply_records(std::vector<cd> a, const std::vector<Record>& records) {
    for (const Record& g : records) {
        const uint64_t b0 = uint64_t{1} << g.target0;
        for (uint64_t p = 0; p < a.size(); ++p) {
            const bool controls = (p & static_cast<uint64_t>(g.control_mask)) == static_cast<uint64_t>(g.control_value);
            if (g.kind == MatrixGateKind::Diagonal) {
                if (((p & ~b0) & static_cast<uint64_t>(g.control_mask)) == static_cast<uint64_t>(g.control_value)) {
                    a[p] *= (p & b0) != 0 ? g.m[3] : g.m[0];
                }
            } else if (g.kind == MatrixGateKind::Swap) {
                const uint64_t b1 = uint64_t{1} << g.target1;
                if ((p & b0) == 0 && (p & b1) != 0 && controls) {
                    std::swap(a[p], a[p ^ b0 ^ b1]);
                }
            } else if ((p & b0) == 0 && controls) {
                const cd a0 = a[p];
                const cd a1 = a[p | b0];
                a[p] = g.m[0] * a0 + g.m[1] * a1;
                a[p | b0] = g.m[2] * a0 + g.m[3] * a1;
            }
        }
    }
    return a;
}

template <typename T>
std::vector<DeviceMatrixGate<T>> device_records(const std::vector<Record>& records) {
    std::vector<DeviceMatrixGate<T>> out;
    for (const Record& g : records) {
        DeviceMatrixGate<T> d;
        d.kind = static_cast<int32_t>(g.kind);
        d.target0 = g.target0;
        d.target1 = g.target1;
        d.control_mask = g.control_mask;
        d.control_value = g.control_value;
        for (size_t e = 0; e < g.m.size(); ++e) {
            d.m[e] = large_index::to_element<CuComplex<T>>(g.m[e]);
        }
        out.push_back(d);
    }
    return out;
}

// Mixing records of every kind over all k local bits, several runs of cube bits apart.
std::vector<Record> records_for(int k) {
    const double r = 1.0 / std::numbers::sqrt2;
    const cd i(0, 1);
    const std::vector<cd> general{cd(0.6, 0.1), cd(-0.3, 0.7), cd(0.2, -0.5), cd(0.8, 0.4)};
    const int top = k - 1;
    std::vector<Record> records{
        {MatrixGateKind::General, top, -1, k > 2 ? 1 << 2 : 0, k > 2 ? 1 << 2 : 0, general},
        {MatrixGateKind::Hadamard, 0, -1, 0, 0, {r, r, r, -r}},
        {MatrixGateKind::PauliX, top - 1, -1, 1 << top, 0, {0, 1, 1, 0}},
        {MatrixGateKind::Swap, 0, top, k > 2 ? 1 << 1 : 0, k > 2 ? 1 << 1 : 0, {}},
        {MatrixGateKind::Diagonal, top / 2, -1, 1, 1, {std::polar(1.0, 0.3), 0, 0, std::polar(1.0, -1.1)}},
        {MatrixGateKind::General, top / 2 + 1 < k ? top / 2 + 1 : 0, -1, 0, 0, general},
        {MatrixGateKind::Hadamard, top, -1, 0, 0, {r, r, r, -r}},
        {MatrixGateKind::PauliY, k > 2 ? 2 : 0, -1, 0, 0, {0, -i, i, 0}},
    };
    if (k == 1) {  // one local bit: no controls, no SWAP
        std::erase_if(records, [](const Record& g) { return g.kind == MatrixGateKind::Swap; });
        for (Record& g : records) {
            g.target0 = 0;
            g.control_mask = g.control_value = 0;
        }
    }
    return records;
}

// Tile t holds the 2^k amplitudes base(t) | deposit(p, active), base(t) = deposit(t, inactive).
template <typename T>
void check_sparsesharemem(uint64_t active_mask, uint64_t grid, const std::vector<unsigned long long>& blocks) {
    const int k = std::popcount(active_mask);
    SCOPED_TRACE("k = " + std::to_string(k));
    const uint64_t inactive_mask = ((uint64_t{1} << kQubits) - 1) & ~active_mask;
    const uint64_t num_tiles = uint64_t{1} << (kQubits - k);
    hostcuda::SparseReservation memory((uint64_t{1} << kQubits) * sizeof(CuComplex<T>));
    ASSERT_TRUE(memory.valid()) << "the system refused to reserve the state's address space";
    auto* state = static_cast<CuComplex<T>*>(memory.data());

    std::vector<uint64_t> indices;
    size_t tiles_walked = 0;
    for (const unsigned long long b : blocks) {
        const std::vector<uint64_t> tiles = large_index::tiles_of_block(b, grid, num_tiles);
        ASSERT_GE(tiles.size(), 2U) << "block " << b << " must walk several tiles";
        tiles_walked += tiles.size();
        for (const uint64_t t : tiles) {
            const uint64_t base = large_index::deposit(t, inactive_mask);
            for (uint64_t p = 0; p < (uint64_t{1} << k); ++p) {
                indices.push_back(base | large_index::deposit(p, active_mask));
            }
        }
    }
    ASSERT_GE(*std::max_element(indices.begin(), indices.end()), uint64_t{1} << 35);
    const std::vector<cd> before = large_index::fill(state, indices, 777);
    const std::vector<Record> records = records_for(k);
    std::vector<cd> expected;
    const size_t size = size_t{1} << k;
    for (size_t tile = 0; tile < tiles_walked; ++tile) {
        const std::vector<cd> a(before.begin() + tile * size, before.begin() + (tile + 1) * size);
        const std::vector<cd> out = apply_records(a, records);
        expected.insert(expected.end(), out.begin(), out.end());
    }

    const DeviceArray<DeviceMatrixGate<T>> gates(device_records<T>(records));
    {
        hostcuda::BlockSelection selection(blocks);
        quorra::launch_kernel(
            velqa::fusion::sparsesharemem_kernel<T>, dim3(static_cast<unsigned>(grid)),
            dim3(velqa::fusion::sparsesharemem_block_threads(k)), size * sizeof(CuComplex<T>), nullptr, state,
            static_cast<unsigned long long>(num_tiles), static_cast<unsigned long long>(active_mask),
            static_cast<unsigned long long>(inactive_mask), k, gates.get(), static_cast<int>(records.size()));
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        ASSERT_EQ(selection.blocks_run(), blocks.size());
    }
    large_index::expect_elements(state, indices, expected, tolerance<T>());
}

// Active bits low (a run of seven) and high (33 to 35); the inactive bits above 6 number the
// tiles, so tile bit 25 is index bit 32 and tile bit 26 is index bit 36. A grid of 2^26 - 3
// blocks: blocks from 2^25 up walk two tiles, both above 2^32, the step between them carrying
// across the active bits. Small tiles (k = 3, 2, 1: other cube widths) at the largest grid walk
// eight or nine tiles each.
template <typename T>
void run_sparsesharemem_cases() {
    const uint64_t high = (uint64_t{1} << 33) | (uint64_t{1} << 34) | (uint64_t{1} << 35);
    const uint64_t grid10 = (uint64_t{1} << 26) - 3;
    check_sparsesharemem<T>(0x7f | high, grid10, {grid10 - 1, (uint64_t{1} << 25) + 4321, uint64_t{1} << 25});
    const uint64_t grid_max = 0x7fffffff;
    for (const uint64_t active : {high, (uint64_t{1} << 33) | (uint64_t{1} << 35), uint64_t{1} << 34}) {
        check_sparsesharemem<T>(active, grid_max, {grid_max - 1, grid_max - 77777});
    }
}

TEST(LargeIndexTiles, SparseShareMemComplex64) { run_sparsesharemem_cases<float>(); }
TEST(LargeIndexTiles, SparseShareMemComplex128) { run_sparsesharemem_cases<double>(); }

// ---- UNITARY of three to five targets (dense tile product) -----------------------------------------

template <typename T, int K>
void check_unitary(const std::vector<int>& targets, uint64_t control_mask, uint64_t control_value) {
    SCOPED_TRACE("K = " + std::to_string(K));
    hostcuda::SparseReservation memory((uint64_t{1} << kQubits) * sizeof(CuComplex<T>));
    ASSERT_TRUE(memory.valid()) << "the system refused to reserve the state's address space";
    auto* state = static_cast<CuComplex<T>*>(memory.data());
    const quorra::DenseTilePlan plan = quorra::make_dense_tile_plan(
        static_cast<int>(kQubits), targets, control_mask, control_value, quorra::dense_tile_max_bits<CuComplex<T>>());
    const std::vector<cd> m = large_index::dense_matrix(uint64_t{1} << K);
    const DeviceArray<CuComplex<T>> matrix(large_index::to_elements<CuComplex<T>>(m));
    const uint64_t grid = plan.tiles / 2 - 3;
    const auto launch = [&] {
        quorra::launch_kernel(velqa::cu_unitary_inplace_kernel<T, K>, dim3(static_cast<unsigned>(grid)),
                              dim3(quorra::kDenseTileThreads), quorra::dense_tile_shared_bytes<CuComplex<T>, K>(plan),
                              nullptr, kQubits, state, static_cast<const int64_t*>(nullptr),
                              static_cast<const int64_t*>(nullptr), uint64_t{0}, control_mask, control_value,
                              matrix.get(), plan);
    };
    large_index::check_dense_tiles(state, static_cast<int>(kQubits), plan, targets, control_mask, m, false, grid,
                                   {grid - 1, plan.tiles / 4 + 999, plan.tiles / 4}, launch, tolerance<T>());
}

// Targets and controls high and low; the highest tile-numbering bit is index bit 35 or 36 and
// the next one index bit 32, so blocks from a quarter of the tiles up walk two tiles above 2^32.
template <typename T>
void run_unitary_cases() {
    const uint64_t b34 = uint64_t{1} << 34;
    const uint64_t b35 = uint64_t{1} << 35;
    check_unitary<T, 3>({34, 2, 33}, b35 | 2, b35);
    check_unitary<T, 4>({36, 0, 33, 5}, b34, b34);
    check_unitary<T, 5>({33, 34, 3, 35, 1}, 0, 0);
}

TEST(LargeIndexTiles, UnitaryThreeToFiveTargetsComplex64) { run_unitary_cases<float>(); }
TEST(LargeIndexTiles, UnitaryThreeToFiveTargetsComplex128) { run_unitary_cases<double>(); }

}  // namespace
