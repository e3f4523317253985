// Fused execution below the Python surface: the executors' checks and their order, the
// DenseMM permutation, the device memory of a workspace and of the per-thread DenseMM cache
// on every exit path.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fusion/velqa_densemm.cuh"
#include "fusion/velqa_densemm_kernels.cuh"
#include "fusion/velqa_fusion.cuh"
#include "fusion/velqa_fusion_planner.hpp"
#include "fusion/velqa_sparsesharemem.cuh"
#include "hostcuda_block_select.h"
#include "quorra_cube_run.cuh"
#include "quorra_launch.cuh"
#include "state/velqa_device_state.cuh"

namespace {

using velqa::CuComplex;
using velqa::DeviceState;
using velqa::GateId;
using velqa::GateRecord;
using velqa::fusion::FusionOptions;
using velqa::fusion::PreparedFusionChunk;

template <typename Call>
std::string error_text(Call call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

GateRecord single(GateId id, int64_t target, std::vector<double> parameter = {}) {
    GateRecord g;
    g.id = id;
    g.target = {target};
    g.parameter = std::move(parameter);
    return g;
}

PreparedFusionChunk prepare(int64_t n, std::vector<GateRecord> gates, const FusionOptions& options) {
    PreparedFusionChunk chunk;
    chunk.n = n;
    chunk.gates = std::move(gates);
    static_cast<velqa::fusion::FusionPlan&>(chunk) = velqa::fusion::plan_fusion_chunk(n, chunk.gates, options);
    return chunk;
}

std::vector<GateRecord> ry_layers(int64_t n, int layers) {
    std::vector<GateRecord> gates;
    for (int l = 0; l < layers; ++l) {
        for (int64_t q = 0; q < n; ++q) {
            gates.push_back(single(GateId::RY, q, {0.3 + 0.1 * static_cast<double>(q + l)}));
        }
    }
    return gates;
}

std::unique_ptr<DeviceState> ramp_state(int64_t n) {
    auto state = std::make_unique<DeviceState>(n, velqa::Precision::Complex128, 0);
    std::vector<CuComplex<double>> values(static_cast<size_t>(state->num_state()));
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = CuComplex<double>{static_cast<double>(i), -0.5 * static_cast<double>(i)};
    }
    state->upload(values.data(), state->num_state(), false);
    return state;
}

std::vector<CuComplex<double>> download(const DeviceState& state) {
    std::vector<CuComplex<double>> out(static_cast<size_t>(state.num_state()));
    state.download(out.data(), state.num_state(), false);
    return out;
}

TEST(SparseShareMemLauncher, ChecksComeInOrder) {
    auto state = ramp_state(4);
    double* none = nullptr;
    const auto launch = [&](int64_t n, int64_t k, int64_t count) {
        return error_text([&] {
            velqa::fusion::launch_sparsesharemem<double>(
                n, state->amplitudes<double>(), (uint64_t{1} << k) - 1, k,
                reinterpret_cast<const velqa::fusion::DeviceMatrixGate<double>*>(none), count, cudaStream_t{});
        });
    };
    EXPECT_EQ(launch(4, 0, 0), "SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(launch(12, 11, 1), "SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(launch(4, 5, 0), "SparseShareMem active qubits exceed circuit size");
    EXPECT_EQ(launch(4, 2, 0), "SparseShareMem group cannot be empty");
}

// A record with its matrix filled in; kinds other than General must equal the product with it.
velqa::fusion::DeviceMatrixGate<double> record(velqa::fusion::MatrixGateKind kind, int32_t target,
                                               std::array<std::complex<double>, 4> m, int32_t control_mask = 0,
                                               int32_t control_value = 0, int32_t target1 = -1) {
    velqa::fusion::DeviceMatrixGate<double> g;
    g.kind = static_cast<int32_t>(kind);
    g.target0 = target;
    g.target1 = target1;
    g.control_mask = control_mask;
    g.control_value = control_value;
    for (int e = 0; e < 4; ++e) {
        g.m[e] = CuComplex<double>{m[static_cast<size_t>(e)].real(), m[static_cast<size_t>(e)].imag()};
    }
    return g;
}

// The records on one tile as the kernel contract states them: every record as the product
// with its matrix (a SWAP as the exchange), one after another.
void apply_records_to_tile(std::vector<std::complex<double>>& tile,
                           const std::vector<velqa::fusion::DeviceMatrixGate<double>>& records) {
    for (const auto& g : records) {
        const uint32_t b0 = uint32_t{1} << g.target0;
        for (uint32_t j = 0; j < tile.size(); ++j) {
            if ((j & b0) != 0 ||
                (j & static_cast<uint32_t>(g.control_mask)) != static_cast<uint32_t>(g.control_value)) {
                continue;
            }
            if (g.kind == static_cast<int32_t>(velqa::fusion::MatrixGateKind::Swap)) {
                const uint32_t b1 = uint32_t{1} << g.target1;
                if ((j & b1) != 0) {
                    std::swap(tile[j], tile[j ^ b0 ^ b1]);
                }
                continue;
            }
            const std::complex<double> a0 = tile[j], a1 = tile[j | b0];
            const auto m = [&](int e) { return std::complex<double>(g.m[e].re, g.m[e].im); };
            tile[j] = m(0) * a0 + m(1) * a1;
            tile[j | b0] = m(2) * a0 + m(3) * a1;
        }
    }
}

uint64_t deposit(uint64_t value, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t rest = mask; rest != 0; rest &= rest - 1, value >>= 1) {
        out |= (value & 1) != 0 ? rest & (~rest + 1) : 0;
    }
    return out;
}

// 2^16 tiles on a grid capped at 65535 blocks: block 0 also takes the last tile, after a tile
// whose records run in several cube runs. Only blocks 0 and 65534 run; every other amplitude
// must stay as it was.
TEST(SparseShareMemKernel, BlocksLoopOverTilesBeyondTheGridCap) {
    using velqa::fusion::MatrixGateKind;
    constexpr int64_t n = 20;
    constexpr uint64_t active = (uint64_t{1} << 0) | (uint64_t{1} << 5) | (uint64_t{1} << 12) | (uint64_t{1} << 19);
    const double c = std::cos(0.35), s = std::sin(0.35), r = 1 / std::sqrt(2.0);
    const std::complex<double> i(0, 1);
    const std::vector<velqa::fusion::DeviceMatrixGate<double>> records = {
        record(MatrixGateKind::Hadamard, 0, {r, r, r, -r}),
        record(MatrixGateKind::RotY, 1, {c, -s, s, c}, 0b0100, 0b0100),
        record(MatrixGateKind::General, 2, {0.5 + 0.5 * i, 0.5 - 0.5 * i, 0.5 - 0.5 * i, 0.5 + 0.5 * i}),
        record(MatrixGateKind::Diagonal, 3, {1.0, 0.0, 0.0, std::exp(0.7 * i)}, 0b0001, 0),
        record(MatrixGateKind::Swap, 3, {1.0, 0.0, 0.0, 1.0}, 0b0010, 0b0010, 0),
        record(MatrixGateKind::RotX, 0, {c, -i * s, -i * s, c}, 0b1000, 0b1000),
        record(MatrixGateKind::PauliY, 2, {0.0, -i, i, 0.0}),
        record(MatrixGateKind::PauliX, 3, {0.0, 1.0, 1.0, 0.0}, 0b0101, 0b0001),
    };
    auto state = ramp_state(n);
    const std::vector<CuComplex<double>> before = download(*state);
    velqa::fusion::DeviceMatrixGate<double>* device_records = nullptr;
    ASSERT_EQ(cudaMalloc(&device_records, records.size() * sizeof(records[0])), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(device_records, records.data(), records.size() * sizeof(records[0]), cudaMemcpyHostToDevice),
              cudaSuccess);
    {
        hostcuda::BlockSelection selection({0, 65534});
        velqa::fusion::launch_sparsesharemem<double>(n, state->amplitudes<double>(), active, 4, device_records,
                                                     static_cast<int64_t>(records.size()), cudaStream_t{});
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(selection.blocks_run(), 2U);
    }
    ASSERT_EQ(cudaFree(device_records), cudaSuccess);
    std::vector<std::complex<double>> expected(before.size());
    for (size_t j = 0; j < before.size(); ++j) {
        expected[j] = {before[j].re, before[j].im};
    }
    const uint64_t inactive = active ^ ((uint64_t{1} << n) - 1);
    for (const uint64_t t : {uint64_t{0}, uint64_t{65534}, uint64_t{65535}}) {
        std::vector<std::complex<double>> tile(16);
        for (uint64_t j = 0; j < 16; ++j) {
            tile[j] = expected[deposit(t, inactive) | deposit(j, active)];
        }
        apply_records_to_tile(tile, records);
        for (uint64_t j = 0; j < 16; ++j) {
            expected[deposit(t, inactive) | deposit(j, active)] = tile[j];
        }
    }
    const std::vector<CuComplex<double>> after = download(*state);
    for (size_t j = 0; j < after.size(); ++j) {
        ASSERT_NEAR(after[j].re, expected[j].real(), 1e-9) << "amplitude " << j;
        ASSERT_NEAR(after[j].im, expected[j].imag(), 1e-9) << "amplitude " << j;
    }
}

// The shared-memory position of a tile element is a permutation of every tile the fused
// kernels use (2 to 1024 elements), or elements of a tile would overwrite each other.
TEST(SparseShareMemKernel, TileSlotsPermuteEveryTile) {
    for (uint32_t size = 2; size <= 1024; size *= 2) {
        std::vector<bool> taken(size, false);
        for (uint32_t j = 0; j < size; ++j) {
            const uint32_t slot = quorra::tile_slot(j);
            ASSERT_LT(slot, size) << "element " << j << " of " << size;
            ASSERT_FALSE(taken[slot]) << "element " << j << " of " << size;
            taken[slot] = true;
        }
    }
}

TEST(DenseMMLauncher, ActiveQubitRangeIsCheckedBeforeAnyLaunch) {
    auto state = ramp_state(3);
    const auto before = download(*state);
    for (const int64_t k : {int64_t{0}, int64_t{3}, int64_t{4}}) {
        EXPECT_EQ(error_text([&] {
                      velqa::fusion::launch_densemm<double>(nullptr, 3, state->amplitudes<double>(), nullptr, nullptr,
                                                            1, (uint64_t{1} << k) - 1, k, nullptr, cudaStream_t{});
                  }),
                  "DenseMM active qubits must be in [1, n-1]");
    }
    const auto after = download(*state);
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].re, before[i].re);
    }
}

TEST(DenseMMKernels, PermutationPutsActiveQubitsLowest) {
    // Active qubits {1, 3} of n = 4: position 6 has local value 2 (qubit 3 set) and high value
    // 1 (qubit 0 set), so it holds amplitude 9.
    auto state = ramp_state(4);
    void* raw = nullptr;
    ASSERT_EQ(cudaMalloc(&raw, 16 * sizeof(CuComplex<double>)), cudaSuccess);
    auto* permuted = static_cast<CuComplex<double>*>(raw);
    quorra::launch_kernel(velqa::fusion::transpose_to_low_bits<double>, dim3(1), dim3(256), 0, cudaStream_t{}, 16ULL,
                          static_cast<const CuComplex<double>*>(state->amplitudes<double>()), permuted, 0b1010ULL,
                          0b0101ULL, 2, 0ULL, 0ULL);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<CuComplex<double>> host(16);
    ASSERT_EQ(cudaMemcpy(host.data(), permuted, sizeof(CuComplex<double>) * 16, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host[6].re, 9.0);
    for (uint64_t p = 0; p < 16; ++p) {
        const uint64_t low = p & 3;
        const uint64_t high = p >> 2;
        const uint64_t index = ((low & 1) << 1) | ((low & 2) << 2) | (high & 1) | ((high & 2) << 1);
        EXPECT_EQ(host[p].re, static_cast<double>(index)) << p;
    }
    // The inverse permutation restores the state.
    quorra::launch_kernel(velqa::fusion::transpose_from_low_bits<double>, dim3(1), dim3(256), 0, cudaStream_t{}, 16ULL,
                          static_cast<const CuComplex<double>*>(permuted), state->amplitudes<double>(), 0b1010ULL,
                          0b0101ULL, 2, 0ULL, 0ULL);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const auto back = download(*state);
    for (size_t i = 0; i < back.size(); ++i) {
        EXPECT_EQ(back[i].re, static_cast<double>(i));
    }
    ASSERT_EQ(cudaFree(raw), cudaSuccess);
}

TEST(FusionExecution, OversizedGroupFailsAfterEarlierGroupsAndFreesTheWorkspace) {
    const int64_t n = 11;
    auto state = ramp_state(n);
    std::vector<GateRecord> gates = {single(GateId::X, 0), single(GateId::GLOBAL_PHASE, 0, {0.4})};
    gates[1].target.clear();
    for (int64_t q = 0; q < n; ++q) {
        gates.push_back(single(GateId::H, q));
    }
    FusionOptions wide;
    wide.sparsesharemem_qubits = 12;
    const PreparedFusionChunk chunk = prepare(n, gates, wide);
    ASSERT_EQ(chunk.groups.size(), 3u);
    const size_t before = hostcuda::allocation_count();
    EXPECT_EQ(error_text([&] {
                  velqa::fusion::execute_prepared<double>(state->amplitudes<double>(), state->num_state(), 0, chunk);
              }),
              "SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(hostcuda::allocation_count(), before);
    // X on qubit 0 took effect: amplitude 0 now holds what amplitude 1 held, times the phase.
    const auto after = download(*state);
    EXPECT_NEAR(after[0].re, std::cos(0.4) * 1.0 - std::sin(0.4) * -0.5, 1e-12);
}

TEST(FusionExecution, WrongStateSizeIsRefusedBeforeTheDevice) {
    auto state = ramp_state(3);
    const PreparedFusionChunk chunk = prepare(4, ry_layers(4, 1), FusionOptions{});
    EXPECT_EQ(error_text([&] {
                  velqa::fusion::execute_prepared<double>(state->amplitudes<double>(), state->num_state(), 0, chunk);
              }),
              "state size does not match prepared chunk");
}

TEST(FusionExecution, AutoPairGroupCannotUseTheWorkspace) {
    const PreparedFusionChunk chunk = prepare(3, {single(GateId::H, 0)}, FusionOptions{});
    ASSERT_EQ(chunk.groups.at(0).kind, velqa::fusion::FusionGroupKind::AutoPair);
    const velqa::fusion::FusionWorkspace<float> workspace = velqa::fusion::upload_fusion_workspace<float>(3, chunk);
    EXPECT_EQ(workspace.gates(), nullptr);
    EXPECT_EQ(workspace.matrices(), nullptr);
    EXPECT_EQ(error_text([&] { velqa::fusion::run_fusion_group<float>(workspace, nullptr, chunk.groups[0], {}); }),
              "AutoPair group cannot use fusion workspace");
}

TEST(FusionExecution, FailedUploadFreesWhatItAllocated) {
    // Room for the state and the records, not for the dense matrices.
    auto state = ramp_state(8);
    FusionOptions mixed;
    mixed.densemm_gate_threshold_scale = 0.0;
    mixed.densemm_max_qubits = 4;  // the 8-qubit first layer stays in shared memory
    std::vector<GateRecord> both = ry_layers(8, 1);
    both.push_back(single(GateId::GLOBAL_PHASE, 0, {0.1}));
    both.back().target.clear();
    for (int64_t q = 0; q < 4; ++q) {
        both.push_back(single(GateId::H, q));  // a 4-qubit dense group: 4 KiB of matrix
    }
    const PreparedFusionChunk chunk = prepare(8, both, mixed);
    ASSERT_GT(chunk.total_matrix_gates, 0u);
    ASSERT_GT(chunk.total_dense_elements, 0u);
    const size_t state_bytes = 256 * sizeof(CuComplex<double>);
    const size_t records_bytes = chunk.total_matrix_gates * sizeof(velqa::fusion::DeviceMatrixGate<double>);
    const std::string limit = std::to_string(state_bytes + records_bytes + 1024);
    const size_t before = hostcuda::allocation_count();
    setenv("QUORRA_HOSTCUDA_MEMORY_LIMIT", limit.c_str(), 1);
    const std::string text = error_text(
        [&] { velqa::fusion::execute_prepared<double>(state->amplitudes<double>(), state->num_state(), 0, chunk); });
    unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT");
    EXPECT_EQ(text.rfind("cudaMalloc DenseMM matrices: ", 0), 0u) << text;
    EXPECT_EQ(hostcuda::allocation_count(), before);
}

TEST(DenseMMCache, LivesPerThreadReusesBuffersAndIsReleasedAtThreadExit) {
    const size_t before = hostcuda::allocation_count();
    FusionOptions dense;
    dense.densemm_gate_threshold_scale = 0.0;
    std::thread worker([&] {
        auto big = ramp_state(8);
        auto small = ramp_state(5);
        const size_t with_states = hostcuda::allocation_count();
        // Groups of k = n - 1 qubits: DenseMM needs k < n.
        const PreparedFusionChunk chunk7 = prepare(8, ry_layers(7, 1), dense);
        const PreparedFusionChunk chunk5 = prepare(5, ry_layers(4, 1), dense);
        ASSERT_EQ(chunk7.groups.at(0).kind, velqa::fusion::FusionGroupKind::DenseMM);
        velqa::fusion::execute_prepared<double>(big->amplitudes<double>(), big->num_state(), 0, chunk7);
        auto& cache = velqa::fusion::DenseMMCache<double>::for_this_thread();
        EXPECT_EQ(cache.capacity(), 256u);
        EXPECT_EQ(cache.device(), 0);
        EXPECT_EQ(hostcuda::allocation_count(), with_states + 2);  // the two scratch buffers
        CuComplex<double>* buffer = cache.transpose_buffer();
        velqa::fusion::execute_prepared<double>(small->amplitudes<double>(), small->num_state(), 0, chunk5);
        EXPECT_EQ(cache.transpose_buffer(), buffer);  // smaller n: no new allocation
        EXPECT_EQ(cache.capacity(), 256u);
        EXPECT_EQ(hostcuda::allocation_count(), with_states + 2);
        // The other precision has its own cache, still empty.
        EXPECT_EQ(velqa::fusion::DenseMMCache<float>::for_this_thread().capacity(), 0u);
    });
    worker.join();
    EXPECT_EQ(hostcuda::allocation_count(), before);
}

TEST(DenseMMCache, FailedBufferAllocationLeavesAnEmptyCache) {
    std::thread worker([] {
        auto& cache = velqa::fusion::DenseMMCache<double>::for_this_thread();
        const size_t before = hostcuda::allocation_count();
        const size_t bytes = 1024 * sizeof(CuComplex<double>);
        // Room for the transpose buffer only (plus whatever other tests left on the device).
        const std::string limit = std::to_string(hostcuda::allocated_bytes() + bytes + bytes / 2);
        setenv("QUORRA_HOSTCUDA_MEMORY_LIMIT", limit.c_str(), 1);
        const std::string text = error_text([&] { cache.ensure_capacity(1024); });
        unsetenv("QUORRA_HOSTCUDA_MEMORY_LIMIT");
        EXPECT_EQ(text.rfind("cudaMalloc cached DenseMM GEMM buffer: ", 0), 0u) << text;
        EXPECT_EQ(cache.capacity(), 0u);
        EXPECT_EQ(cache.transpose_buffer(), nullptr);
        EXPECT_EQ(hostcuda::allocation_count(), before);
        cache.ensure_capacity(1024);
        EXPECT_EQ(cache.capacity(), 1024u);
        EXPECT_NE(cache.gemm_buffer(), nullptr);
    });
    worker.join();
}

}  // namespace
