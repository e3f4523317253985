// Fused execution below the Python surface: the executors' checks and their order, the
// DenseMM permutation, the device memory of a workspace and of the per-thread DenseMM cache
// on every exit path.
#include <gtest/gtest.h>

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

TEST(DenseMMLauncher, ActiveQubitRangeIsCheckedBeforeAnyLaunch) {
    auto state = ramp_state(3);
    const auto before = download(*state);
    for (const int64_t k : {int64_t{0}, int64_t{3}, int64_t{4}}) {
        EXPECT_EQ(error_text([&] {
                      velqa::fusion::launch_densemm<double>(nullptr, 3, state->amplitudes<double>(), nullptr, nullptr,
                                                            (uint64_t{1} << k) - 1, k, nullptr, cudaStream_t{});
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
                          state->amplitudes<double>(), permuted, 0b1010ULL, 0b0101ULL, 2);
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
                          permuted, state->amplitudes<double>(), 0b1010ULL, 0b0101ULL, 2);
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
    EXPECT_EQ(workspace.gates, nullptr);
    EXPECT_EQ(workspace.matrices, nullptr);
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
