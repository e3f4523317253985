// What the large-index tests of tiled kernels share: the chosen blocks' tiles of a grid that
// strides over tiles, a seeded fill of the elements those tiles touch (in address space that is
// reserved, never the whole state), a check against the test's own per-tile reference, and that
// reference for the dense 2^K x 2^K tile product. Host build only: it runs chosen blocks.
#pragma once

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <vector>

#include "hostcuda_block_select.h"
#include "quorra_dense_tile_plan.hpp"

namespace large_index {

using cd = std::complex<double>;

// The low bits of `value` placed, lowest first, at the set bits of `mask` (the test's own).
inline uint64_t deposit(uint64_t value, uint64_t mask) {
    uint64_t out = 0;
    for (int bit = 0; bit < 64 && value != 0; ++bit) {
        if (((mask >> bit) & 1U) != 0) {
            out |= (value & 1U) << bit;
            value >>= 1;
        }
    }
    return out;
}

// The mask with the bits of `qubits` set.
inline uint64_t qubit_mask(const std::vector<int64_t>& qubits) {
    uint64_t mask = 0;
    for (const int64_t q : qubits) {
        mask |= uint64_t{1} << q;
    }
    return mask;
}

// The tiles block b of a grid of `grid` blocks walks: b, b + grid, ... below `tiles`.
inline std::vector<uint64_t> tiles_of_block(uint64_t b, uint64_t grid, uint64_t tiles) {
    std::vector<uint64_t> out;
    for (uint64_t t = b; t < tiles; t += grid) {
        out.push_back(t);
    }
    return out;
}

// Complex element access for any {re, im} element type.
template <typename E>
E to_element(cd v);
template <typename E>
cd load(const E* data, uint64_t i) {
    return cd(data[i].re, data[i].im);
}

template <typename E>
void store(E* data, uint64_t i, cd v) {
    data[i] = to_element<E>(v);
}

template <typename E>
E to_element(cd v) {
    return E{static_cast<decltype(E{}.re)>(v.real()), static_cast<decltype(E{}.re)>(v.imag())};
}

template <typename E>
std::vector<E> to_elements(const std::vector<cd>& values) {
    std::vector<E> out;
    for (const cd v : values) {
        out.push_back(to_element<E>(v));
    }
    return out;
}

// Agreement expected of a kernel in precision T with the double-precision reference.
template <typename T>
double tolerance() {
    return sizeof(T) == sizeof(float) ? 1e-4 : 1e-12;
}

// A device copy of `values`, freed at scope end.
template <typename V>
class DeviceArray {
public:
    explicit DeviceArray(const std::vector<V>& values) {
        EXPECT_EQ(cudaMalloc(&ptr_, values.size() * sizeof(V)), cudaSuccess);
        EXPECT_EQ(cudaMemcpy(ptr_, values.data(), values.size() * sizeof(V), cudaMemcpyHostToDevice), cudaSuccess);
    }
    ~DeviceArray() { EXPECT_EQ(cudaFree(ptr_), cudaSuccess); }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    const V* get() const { return static_cast<const V*>(ptr_); }

private:
    void* ptr_ = nullptr;
};

// Fills data[i] for every listed index with seeded values and returns them as stored (rounded
// to the element type).
template <typename E>
std::vector<cd> fill(E* data, const std::vector<uint64_t>& indices, uint64_t seed) {
    std::vector<cd> values;
    values.reserve(indices.size());
    for (const uint64_t i : indices) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        store(data, i,
              cd(static_cast<double>((seed >> 40) % 1000) / 1000.0 - 0.4,
                 static_cast<double>((seed >> 20) % 1000) / 1000.0 - 0.6));
        values.push_back(load(data, i));
    }
    return values;
}

// Every listed element equals its expected value; reports the first few that do not.
template <typename E>
void expect_elements(const E* data, const std::vector<uint64_t>& indices, const std::vector<cd>& expected,
                     double tolerance) {
    int reported = 0;
    for (size_t e = 0; e < indices.size(); ++e) {
        const cd got = load(data, indices[e]);
        if (std::abs(got - expected[e]) > tolerance && reported++ < 8) {
            ADD_FAILURE() << "element index " << indices[e] << ": got " << got << ", expected " << expected[e];
        }
    }
    EXPECT_EQ(reported, 0) << "elements differ from the reference";
}

// A fixed dense matrix, every entry distinct and none zero (row-major, dim x dim).
inline std::vector<cd> dense_matrix(uint64_t dim) {
    std::vector<cd> m(dim * dim);
    for (uint64_t i = 0; i < m.size(); ++i) {
        m[i] =
            cd(0.25 + 0.5 * std::cos(1.3 * static_cast<double>(i)), 0.5 * std::sin(0.7 * static_cast<double>(i) + 1));
    }
    return m;
}

// The indices of every vector of the dense tile product in the tile at `base` (tile bits
// outside the targets: `free_mask`), vector after vector; element r of a vector has bit j of r
// at index bit targets[j].
inline std::vector<uint64_t> dense_tile_indices(uint64_t base, uint64_t free_mask, const std::vector<int>& targets) {
    const uint64_t dim = uint64_t{1} << targets.size();
    const uint64_t vectors = uint64_t{1} << std::popcount(free_mask);
    std::vector<uint64_t> indices;
    indices.reserve(vectors * dim);
    for (uint64_t v = 0; v < vectors; ++v) {
        for (uint64_t r = 0; r < dim; ++r) {
            uint64_t i = base | deposit(v, free_mask);
            for (size_t j = 0; j < targets.size(); ++j) {
                i |= ((r >> j) & 1U) << targets[j];
            }
            indices.push_back(i);
        }
    }
    return indices;
}

// Each vector of `before` (laid out as dense_tile_indices lists it) times M, or conj(M).
inline std::vector<cd> dense_tile_reference(const std::vector<cd>& m, bool conjugate, const std::vector<cd>& before) {
    uint64_t dim = 1;
    while (dim * dim < m.size()) {
        dim *= 2;
    }
    std::vector<cd> expected(before.size());
    for (uint64_t v = 0; v < before.size() / dim; ++v) {
        for (uint64_t r = 0; r < dim; ++r) {
            cd sum = 0;
            for (uint64_t c = 0; c < dim; ++c) {
                sum += (conjugate ? std::conj(m[r * dim + c]) : m[r * dim + c]) * before[v * dim + c];
            }
            expected[v * dim + r] = sum;
        }
    }
    return expected;
}

// Runs the chosen blocks of a dense tile product over the `index_bits`-bit index space of
// `data` (launch: the kernel at a grid of `grid` blocks) and checks every tile they walk against
// the reference. Each chosen block must walk at least two tiles and every tile must reach
// index bit 32, so a 32-bit tile origin or element offset, and a 32-bit tile step, show.
template <typename E>
void check_dense_tiles(E* data, int index_bits, const quorra::DenseTilePlan& plan, const std::vector<int>& targets,
                       uint64_t control_mask, const std::vector<cd>& m, bool conjugate, uint64_t grid,
                       const std::vector<unsigned long long>& blocks, const std::function<void()>& launch,
                       double tolerance) {
    uint64_t target_mask = 0;
    for (const int p : targets) {
        target_mask |= uint64_t{1} << p;
    }
    const uint64_t all = (uint64_t{1} << index_bits) - 1;
    const uint64_t free_mask = all & ~plan.outer_mask & ~control_mask & ~target_mask;
    std::vector<uint64_t> indices;
    for (const unsigned long long b : blocks) {
        const std::vector<uint64_t> tiles = tiles_of_block(b, grid, plan.tiles);
        ASSERT_GE(tiles.size(), 2U) << "block " << b << " must walk several tiles";
        for (const uint64_t t : tiles) {
            const uint64_t base = deposit(t, plan.outer_mask) | plan.control_value;
            ASSERT_GE(base, uint64_t{1} << 32) << "tile " << t << " must lie above 2^32";
            const std::vector<uint64_t> tile = dense_tile_indices(base, free_mask, targets);
            indices.insert(indices.end(), tile.begin(), tile.end());
        }
    }
    const std::vector<cd> before = fill(data, indices, 4242);
    {
        hostcuda::BlockSelection selection(blocks);
        launch();
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        ASSERT_EQ(selection.blocks_run(), blocks.size());
    }
    expect_elements(data, indices, dense_tile_reference(m, conjugate, before), tolerance);
}

}  // namespace large_index
