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
#include "quorra_device_buffer.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa::fusion {

// One per execution. Owns the device copies of the plan's records and dense matrices,
// freed when it goes (matrices first, by member order; cudaFree waits for queued work that
// may still read them). The DenseMM handle and buffers belong to the thread's cache, which
// holds `chunk_elements` amplitudes in each buffer for this plan.
template <typename T>
struct FusionWorkspace {
    int64_t n = 0;
    quorra::DeviceBuffer gates_buffer;
    quorra::DeviceBuffer matrices_buffer;
    CuComplex<T>* transpose_buffer = nullptr;
    CuComplex<T>* gemm_buffer = nullptr;
    uint64_t chunk_elements = 0;
    cublasHandle_t handle = nullptr;

    DeviceMatrixGate<T>* gates() const { return gates_buffer.as<DeviceMatrixGate<T>>(); }
    CuComplex<T>* matrices() const { return matrices_buffer.as<CuComplex<T>>(); }
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
