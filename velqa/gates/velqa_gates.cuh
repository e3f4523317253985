// The launchers of the single-qubit gates (fixed, angle and GLOBAL_PHASE) and the per-record
// dispatch onto every gate launcher. SWAP and UNITARY have their own headers.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <vector>

#include "runner/velqa_gate_record.hpp"
#include "runner/velqa_kernel_mode.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa {

// Every launcher below enqueues one kernel on `stream` and does not wait. mode: AllState one
// thread an amplitude, PairAuto the specialised pair kernels, anything else one thread a pair.
// They throw std::invalid_argument for bad controls or target, std::runtime_error on a launch
// error.

// X [[0, 1], [1, 0]], Y [[0, -i], [i, 0]], Z diag(1, -1), H (1/sqrt 2) [[1, 1], [1, -1]],
// S diag(1, i), SDAG diag(1, -i), SQRTX (1/2) [[1+i, 1-i], [1-i, 1+i]] and its inverse SQRTXDAG,
// SQRTY (1/2) [[1+i, -1-i], [1+i, 1+i]] and its inverse SQRTYDAG.
#define VELQA_DECLARE_FIXED_GATE(LAUNCHER)                                                              \
    template <typename T>                                                                               \
    void LAUNCHER(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls, \
                  const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);
VELQA_DECLARE_FIXED_GATE(cu_x)
VELQA_DECLARE_FIXED_GATE(cu_y)
VELQA_DECLARE_FIXED_GATE(cu_z)
VELQA_DECLARE_FIXED_GATE(cu_h)
VELQA_DECLARE_FIXED_GATE(cu_s)
VELQA_DECLARE_FIXED_GATE(cu_sdag)
VELQA_DECLARE_FIXED_GATE(cu_sqrtx)
VELQA_DECLARE_FIXED_GATE(cu_sqrtxdag)
VELQA_DECLARE_FIXED_GATE(cu_sqrty)
VELQA_DECLARE_FIXED_GATE(cu_sqrtydag)
#undef VELQA_DECLARE_FIXED_GATE

// RX(theta) = exp(-i theta X / 2), RY(theta) = exp(-i theta Y / 2), RZ(theta) = exp(-i theta Z / 2),
// PHASE(theta) = diag(1, e^(i theta)).
#define VELQA_DECLARE_ONE_ANGLE_GATE(LAUNCHER)                                                          \
    template <typename T>                                                                               \
    void LAUNCHER(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls, \
                  const std::vector<int64_t>& control_state, T theta, cudaStream_t stream, KernelMode mode);
VELQA_DECLARE_ONE_ANGLE_GATE(cu_rx)
VELQA_DECLARE_ONE_ANGLE_GATE(cu_ry)
VELQA_DECLARE_ONE_ANGLE_GATE(cu_rz)
VELQA_DECLARE_ONE_ANGLE_GATE(cu_phase)
#undef VELQA_DECLARE_ONE_ANGLE_GATE

// U(theta, phi, lambda) = [[c, -e^(i lambda) s], [e^(i phi) s, e^(i (phi + lambda)) c]],
// c = cos(theta/2), s = sin(theta/2).
template <typename T>
void cu_u(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, T theta, T phi, T lambda, cudaStream_t stream, KernelMode mode);

// GLOBAL_PHASE: e^(i theta) on every amplitude whose index meets the controls (all of them
// without controls); the same kernel in every mode.
template <typename T>
void cu_global_phase(int64_t n, CuComplex<T>* state, const std::vector<int64_t>& control,
                     const std::vector<int64_t>& control_state, T theta, cudaStream_t stream);

// Checks the record's parameter counts, launches its gate on `stream` (any mode but
// PairAutoFusion, which plans before it applies) and reads the runtime's last error. Does not
// wait for the device.
template <typename T>
void apply_gate(int64_t n, CuComplex<T>* state, const GateRecord& record, cudaStream_t stream, KernelMode mode);

}  // namespace velqa
