// Helpers for kernels that keep small arrays in registers: every index into such an array
// must be a compile-time constant, or the compiler places the array in local memory.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <type_traits>

#include "quorra_launch.cuh"

// Full unrolling of a loop with a small constant trip count, in both compilers.
#if QUORRA_HOST_BUILD
#define QUORRA_UNROLL _Pragma("GCC unroll 16")
#else
#define QUORRA_UNROLL _Pragma("unroll")
#endif

namespace quorra {

// Calls f(std::integral_constant<int, value>{}) for a runtime value in [0, N): the value
// becomes a template argument, so f can index register arrays with it. Nothing is called
// for a value outside the range.
template <int N, int I = 0, typename F>
__device__ __forceinline__ void with_constant(int value, F&& f) {
    if constexpr (I < N) {
        if (value == I) {
            f(std::integral_constant<int, I>{});
        } else {
            with_constant<N, I + 1>(value, f);
        }
    }
}

}  // namespace quorra
