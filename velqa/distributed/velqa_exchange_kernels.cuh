// Packing of the amplitudes a swap round sends, and unpacking of those it receives: device
// code only; the launchers in velqa_exchange.cu own geometry and checks.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
//
// Item j of a transfer is the slice index expand_index(start + j, fixed_mask, fixed_value):
// the (start + j)-th index whose bits under fixed_mask equal fixed_value. One thread per item.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "gates/velqa_index_bits.cuh"
#include "state/velqa_device_state.cuh"

namespace velqa {

template <typename T>
__global__ void exchange_pack_kernel(const CuComplex<T>* slice, CuComplex<T>* buffer, uint64_t fixed_mask,
                                     uint64_t fixed_value, uint64_t start, uint64_t count) {
    const uint64_t j = global_thread_index();
    if (j < count) {
        buffer[j] = slice[expand_index(start + j, fixed_mask, fixed_value)];
    }
}

template <typename T>
__global__ void exchange_unpack_kernel(CuComplex<T>* slice, const CuComplex<T>* buffer, uint64_t fixed_mask,
                                       uint64_t fixed_value, uint64_t start, uint64_t count) {
    const uint64_t j = global_thread_index();
    if (j < count) {
        slice[expand_index(start + j, fixed_mask, fixed_value)] = buffer[j];
    }
}

}  // namespace velqa
