// Execution of a fusion plan on a device state: the workspace (the plan's records and dense
// matrices on the device plus the thread's DenseMM handle and buffers), the per-group
// dispatch, prepared-chunk execution and the runner's fused mode.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cublas_v2.h>
#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "fusion/velqa_fusion_planner.hpp"
#include "fusion/velqa_matrix_gate.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

// One per execution. Owns `gates` and `matrices` (freed by release() and the destructor,
// matrices first); the DenseMM handle and buffers belong to the thread's cache.
template <typename T>
struct FusionWorkspace {
    int64_t n = 0;
    DeviceMatrixGate<T>* gates = nullptr;
    CuComplex<T>* matrices = nullptr;
    CuComplex<T>* transpose_buffer = nullptr;
    CuComplex<T>* gemm_buffer = nullptr;
    cublasHandle_t handle = nullptr;

    FusionWorkspace() = default;
    ~FusionWorkspace() { release(); }
    FusionWorkspace(FusionWorkspace&& other) noexcept;
    FusionWorkspace& operator=(FusionWorkspace&&) = delete;
    FusionWorkspace(const FusionWorkspace&) = delete;
    FusionWorkspace& operator=(const FusionWorkspace&) = delete;

    // cudaFree waits for queued work that may still read the arrays.
    void release() noexcept;
};

// One allocation and one synchronous copy per array, in the state's precision; binds the
// thread's DenseMM cache when the plan has a DenseMM group. Frees what it allocated when a
// step fails.
template <typename T>
FusionWorkspace<T> upload_fusion_workspace(int64_t n, const FusionPlan& plan);

// Runs one SparseShareMem or DenseMM group; an AutoPair group is refused.
template <typename T>
void run_fusion_group(const FusionWorkspace<T>& workspace, CuComplex<T>* state, const FusionGroup& group,
                      cudaStream_t stream);

// Plans `records` with the default options and runs the groups on `stream` without waiting
// for the device: the runner's PairAutoFusion mode. Records are validated by the caller.
template <typename T>
void run_gates_fused(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records, cudaStream_t stream);

// Checks the amplitude count against the chunk, selects the device, refuses records whose
// qubits do not fit the state, runs the groups on stream 0 and waits for them.
template <typename T>
void execute_prepared(CuComplex<T>* state_data, int64_t state_size, int32_t device, const PreparedFusionChunk& chunk);

}  // namespace velqa::fusion
