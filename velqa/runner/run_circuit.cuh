// The circuit runner: applies gate records to a device state in list order, one launch per
// gate, in the kernel mode the caller chose.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runner/velqa_gate_record.hpp"
#include "runner/velqa_kernel_mode.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa {

// "endian must be 'little' or 'big'" for anything but those two texts.
void check_endian(const std::string& endian);

// Validates every record against the n-qubit state, then applies them in list order. Qubit q
// is bit q of the amplitude index whatever endian text the caller was given.
template <typename T>
void run_gates(int64_t n, CuComplex<T>* state, const std::vector<GateRecord>& records, cudaStream_t stream,
               KernelMode mode);

// Checks num_state against 2**n, selects the device and runs the records on stream 0.
template <typename T>
void run_gates_on_device(int64_t n, CuComplex<T>* state, int64_t num_state, const std::vector<GateRecord>& records,
                         int32_t device_id, KernelMode mode);

// run_gates_on_device on a DeviceState, in the instance of its precision.
void run_gates_on_state(const DeviceState& state, const std::vector<GateRecord>& records, KernelMode mode);

}  // namespace velqa
