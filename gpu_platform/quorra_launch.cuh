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
#include <type_traits>
#include <vector>

// The block's dynamic shared memory (extern __shared__ under nvcc).
#define QUORRA_DYNAMIC_SHARED(type, name) type* name = static_cast<type*>(::hostcuda::dynamic_shared_memory())
// A fixed-size array shared by the block: the block's own bytes, poisoned when the block
// first reaches the declaration, and counted against the block's 48 KiB with the dynamic
// shared memory. The static tag's address names the declaration (one per instantiation).
#define QUORRA_SHARED_ARRAY(type, name, count)           \
    static constexpr char name##_quorra_shared_site = 0; \
    type(&name)[count] = *static_cast<type(*)[count]>(   \
        ::hostcuda::static_shared_memory(&name##_quorra_shared_site, sizeof(type) * (count), alignof(type)))
#else
#define QUORRA_DYNAMIC_SHARED(type, name) extern __shared__ type name[]
#define QUORRA_SHARED_ARRAY(type, name, count) __shared__ type name[count]
#endif

namespace quorra {

#if QUORRA_HOST_BUILD
namespace launch_detail {

// The device pointers a kernel argument carries: the pointer itself, or what the
// argument's quorra_device_pointers(const S&) (found by argument-dependent lookup, for
// structs passed by value that hold device pointers) lists.
template <typename P>
void collect_pointers(const P& value, unsigned index, std::vector<::hostcuda::PointerArgument>& out) {
    if constexpr (std::is_pointer_v<P> && !std::is_function_v<std::remove_pointer_t<P>>) {
        out.push_back(::hostcuda::PointerArgument{static_cast<const void*>(value), index});
    } else if constexpr (requires { quorra_device_pointers(value); }) {
        for (const auto* pointer : quorra_device_pointers(value)) {
            out.push_back(::hostcuda::PointerArgument{static_cast<const void*>(pointer), index});
        }
    }
}

}  // namespace launch_detail
#endif

// For a kernel whose host-build geometry gives a few threads long runs each (the reductions):
// the host stand-in then runs its grids of two or more blocks on its worker threads, which it
// otherwise keeps for grids of many threads. Nothing on a GPU.
template <typename... Params>
inline void spread_small_grids([[maybe_unused]] void (*kernel)(Params...)) {
#if QUORRA_HOST_BUILD
    ::hostcuda::spread_small_grids(reinterpret_cast<const void*>(kernel));
#endif
}

// Enqueues kernel(args...) on the stream with the given geometry. Arguments convert to
// the kernel's parameter types as they would at a triple-chevron launch and are copied
// then, so the caller's variables may change before the kernel runs. Launch errors are
// left in the runtime's last error for the caller's launch check.
template <typename... Params, typename... Args>
inline void launch_kernel(void (*kernel)(Params...), dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream,
                          Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "kernel argument count mismatch");
#if QUORRA_HOST_BUILD
    std::tuple<Params...> params(std::forward<Args>(args)...);
    std::vector<::hostcuda::PointerArgument> pointers;
    std::apply(
        [&pointers](const auto&... values) {
            unsigned index = 0;
            (launch_detail::collect_pointers(values, index++, pointers), ...);
            (void)index;  // a kernel without parameters
        },
        params);
    ::hostcuda::launch(
        grid, block, shared_bytes, stream, [kernel, params = std::move(params)] { std::apply(kernel, params); },
        std::move(pointers), reinterpret_cast<const void*>(kernel));
#else
    // clang-format off
    kernel<<<grid, block, shared_bytes, stream>>>(std::forward<Args>(args)...);
    // clang-format on
#endif
}

}  // namespace quorra
