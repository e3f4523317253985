// Launchers of the swap-round pack and unpack kernels.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "state/velqa_device_state.cuh"

namespace velqa {

// buffer[j] = slice[expand_index(start + j, fixed_mask, fixed_value)] for j < count, on
// `stream`; fixed_value must lie under fixed_mask. Does not wait.
template <typename T>
void launch_exchange_pack(const CuComplex<T>* slice, CuComplex<T>* buffer, uint64_t fixed_mask, uint64_t fixed_value,
                          uint64_t start, uint64_t count, cudaStream_t stream);

// The reverse move: slice[expand_index(start + j, ...)] = buffer[j].
template <typename T>
void launch_exchange_unpack(CuComplex<T>* slice, const CuComplex<T>* buffer, uint64_t fixed_mask, uint64_t fixed_value,
                            uint64_t start, uint64_t count, cudaStream_t stream);

}  // namespace velqa
