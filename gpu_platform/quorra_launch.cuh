// The one kernel-launch helper and the shared-memory macros of both modules.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
// QUORRA_HOST_BUILD is defined to 0 or 1 by the build in both cases, so code never
// has to branch on __CUDA_ARCH__ and no path silently disappears in one build.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <utility>

#if !defined(QUORRA_HOST_BUILD)
#error "QUORRA_HOST_BUILD must be defined to 0 or 1 by the build"
#endif

#if QUORRA_HOST_BUILD
#include <tuple>

// The block's dynamic shared memory (extern __shared__ under nvcc).
#define QUORRA_DYNAMIC_SHARED(type, name) type* name = static_cast<type*>(::hostcuda::dynamic_shared_memory())
// A fixed-size array shared by the block. Fibers of one block run on one OS thread and
// blocks of one OS thread run one after another, so a thread_local array is block-shared.
#define QUORRA_SHARED_ARRAY(type, name, count) static thread_local type name[count]
#else
#define QUORRA_DYNAMIC_SHARED(type, name) extern __shared__ type name[]
#define QUORRA_SHARED_ARRAY(type, name, count) __shared__ type name[count]
#endif

namespace quorra {

// Enqueues kernel(args...) with the given geometry. Arguments convert to the kernel's
// parameter types as they would at a triple-chevron launch. Launch errors are left in
// the runtime's last error for the caller's launch check.
template <typename... Params, typename... Args>
inline void launch_kernel(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream,
                          Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "kernel argument count mismatch");
#if QUORRA_HOST_BUILD
    const std::tuple<Params...> params(std::forward<Args>(args)...);
    ::hostcuda::launch(grid, block, shared_bytes, stream, [&] { std::apply(kernel, params); });
#else
    // clang-format off
    kernel<<<grid, block, shared_bytes, stream>>>(std::forward<Args>(args)...);
    // clang-format on
#endif
}

}  // namespace quorra
