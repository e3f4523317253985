// Fibers of the host stand-in: one user-level context per thread of a block that meets at
// __syncthreads, its guarded stack, and the switches between a fiber and the scheduler in
// the three variants (swapcontext under a sanitizer, a stack switch of our own on x86-64,
// _setjmp/_longjmp elsewhere). Read by g++ only.
#pragma once

#include <cuda_runtime.h>
#include <setjmp.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#define HOSTCUDA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTCUDA_ASAN 1
#endif
#endif
#ifndef HOSTCUDA_ASAN
#define HOSTCUDA_ASAN 0
#endif

#if HOSTCUDA_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define HOSTCUDA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HOSTCUDA_TSAN 1
#endif
#endif
#ifndef HOSTCUDA_TSAN
#define HOSTCUDA_TSAN 0
#endif

#if HOSTCUDA_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Under a sanitizer the fibers switch with swapcontext, which the sanitizer is told about.
// Otherwise, on x86-64, with a stack switch of our own; elsewhere with _setjmp/_longjmp.
#define HOSTCUDA_SWAPCONTEXT (HOSTCUDA_ASAN || HOSTCUDA_TSAN)
#if !HOSTCUDA_SWAPCONTEXT && defined(__x86_64__)
#define HOSTCUDA_STACK_SWITCH 1
#else
#define HOSTCUDA_STACK_SWITCH 0
#endif

#if HOSTCUDA_STACK_SWITCH
// Saves the callee-saved registers on the current stack, stores the stack pointer in *from,
// and continues on the stack `to`, which was left by the same function (or laid out by
// initial_fiber_stack). Defined in fiber.cpp.
extern "C" __attribute__((visibility("hidden"))) void hostcuda_switch_stack(void** from, void* to);
#endif

namespace hostcuda::detail {

// ASan must be told about every stack switch, or it reports the fiber stacks as
// overflows of the thread's own stack.
[[maybe_unused]] inline void asan_start_switch(void** fake_stack_save, const void* bottom, size_t size) {
#if HOSTCUDA_ASAN
    __sanitizer_start_switch_fiber(fake_stack_save, bottom, size);
#else
    (void)fake_stack_save;
    (void)bottom;
    (void)size;
#endif
}

inline void asan_finish_switch(void* fake_stack_save, const void** bottom_old, size_t* size_old) {
#if HOSTCUDA_ASAN
    __sanitizer_finish_switch_fiber(fake_stack_save, bottom_old, size_old);
#else
    (void)fake_stack_save;
    (void)bottom_old;
    (void)size_old;
#endif
}

// ThreadSanitizer must be told which stack runs: each fiber is a TSan fiber, and a switch
// with flag 0 orders the fibers of one block as their barriers do. Blocks on different OS
// threads stay unordered, so a race between them is reported.
[[maybe_unused]] inline void* tsan_create_fiber() {
#if HOSTCUDA_TSAN
    return __tsan_create_fiber(0);
#else
    return nullptr;
#endif
}

[[maybe_unused]] inline void tsan_destroy_fiber(void* fiber) {
#if HOSTCUDA_TSAN
    if (fiber != nullptr) {
        __tsan_destroy_fiber(fiber);
    }
#else
    (void)fiber;
#endif
}

[[maybe_unused]] inline void* tsan_current_fiber() {
#if HOSTCUDA_TSAN
    return __tsan_get_current_fiber();
#else
    return nullptr;
#endif
}

[[maybe_unused]] inline void tsan_switch_to(void* fiber) {
#if HOSTCUDA_TSAN
    __tsan_switch_to_fiber(fiber, 0);
#else
    (void)fiber;
#endif
}

constexpr size_t kFiberStackBytes = 256 * 1024;  // kernels keep 64-element complex vectors

// A fiber stack with a guard page below it, so an overflow faults instead of
// silently overwriting a neighbour's stack. Its top is lowered by `colour` bytes: the
// mappings are page aligned, so without it the hot top lines of every fiber's stack would
// compete for the same few cache sets and each switch would miss the L1 cache.
class FiberStack {
public:
    explicit FiberStack(size_t colour);
    ~FiberStack();
    FiberStack(const FiberStack&) = delete;
    FiberStack& operator=(const FiberStack&) = delete;

    void* bottom() const { return static_cast<char*>(mapping_) + page_; }
    size_t size() const { return kFiberStackBytes - colour_; }

private:
    void* mapping_ = nullptr;
    size_t page_ = 0;
    size_t colour_ = 0;
};

enum class FiberState { Running, AtBarrier, Done };

// Saved machine state of the switch variants that need more than a stack pointer. It is
// kept out of Fiber, so that the scheduler's walks over a block's fibers touch few cache
// lines.
struct FiberContext {
    ucontext_t context{};
    jmp_buf jump{};
};

// A fiber is made once per stack and then kept: each thread of a later block reuses it,
// so starting a thread costs one switch instead of a new context. Switches are a stack
// switch of our own on x86-64 and plain _setjmp/_longjmp elsewhere (no signal-mask system
// calls); under a sanitizer they stay on swapcontext, whose stack switches the sanitizer
// is told about.
struct Fiber {
    std::unique_ptr<FiberContext> saved = std::make_unique<FiberContext>();
    void* stack_pointer = nullptr;  // where a stack switch left the fiber
    bool entered = false;           // the context has been entered and waits in the trampoline loop
    FiberState state = FiberState::Running;
    void* fake_stack = nullptr;
    void* tsan_fiber = nullptr;
    uint3 thread_index{0, 0, 0};
};

// The scheduler's side of the switches: where a fiber returns to.
struct SchedulerContext {
    ucontext_t context{};
    jmp_buf jump{};
    void* stack_pointer = nullptr;
    const void* bottom = nullptr;
    size_t size = 0;
    void* tsan_fiber = nullptr;
};

// The function every fiber runs: it loops, running one thread after another.
using FiberEntry = void (*)();

#if HOSTCUDA_STACK_SWITCH
// A fresh fiber's stack as hostcuda_switch_stack leaves one: six zeroed registers and
// the entry as the return address, placed so that the entry starts with the stack
// alignment of a called function.
inline void* initial_fiber_stack(const FiberStack& stack, FiberEntry entry) {
    auto* top = reinterpret_cast<uint64_t*>(static_cast<char*>(stack.bottom()) + stack.size());
    top[-1] = 0;  // the entry's own return address: it never returns
    top[-2] = reinterpret_cast<uint64_t>(entry);
    for (int slot = 3; slot <= 8; ++slot) {
        top[-slot] = 0;
    }
    return &top[-8];
}
#endif

// Makes a fiber that has not been entered ready to start at `entry` on `stack`.
inline void prepare_fiber(Fiber& fiber, const FiberStack& stack, FiberEntry entry) {
    fiber.fake_stack = nullptr;
    tsan_destroy_fiber(fiber.tsan_fiber);
    fiber.tsan_fiber = tsan_create_fiber();
#if !HOSTCUDA_STACK_SWITCH
    ucontext_t& context = fiber.saved->context;
    getcontext(&context);
    context.uc_stack.ss_sp = stack.bottom();
    context.uc_stack.ss_size = stack.size();
    context.uc_link = nullptr;
    makecontext(&context, entry, 0);
#else
    (void)stack;
    (void)entry;
#endif
}

// The first thing a fiber's entry does on its new stack.
inline void fiber_started(SchedulerContext& scheduler) {
    asan_finish_switch(nullptr, &scheduler.bottom, &scheduler.size);
}

// From the scheduler into the fiber; returns when the fiber yields back.
inline void switch_to_fiber(SchedulerContext& scheduler, Fiber& fiber, const FiberStack& stack, FiberEntry entry) {
#if HOSTCUDA_SWAPCONTEXT
    (void)entry;
    fiber.entered = true;
    void* fake_stack = nullptr;
    scheduler.tsan_fiber = tsan_current_fiber();
    asan_start_switch(&fake_stack, stack.bottom(), stack.size());
    tsan_switch_to(fiber.tsan_fiber);
    swapcontext(&scheduler.context, &fiber.saved->context);
    asan_finish_switch(fake_stack, nullptr, nullptr);
#elif HOSTCUDA_STACK_SWITCH
    if (!fiber.entered) {
        fiber.entered = true;
        fiber.stack_pointer = initial_fiber_stack(stack, entry);
    }
    hostcuda_switch_stack(&scheduler.stack_pointer, fiber.stack_pointer);
#else
    (void)stack;
    (void)entry;
    if (_setjmp(scheduler.jump) == 0) {
        if (fiber.entered) {
            _longjmp(fiber.saved->jump, 1);
        }
        fiber.entered = true;
        setcontext(&fiber.saved->context);
    }
#endif
}

// From the fiber back to the scheduler; returns when the fiber is resumed.
inline void switch_to_scheduler(Fiber& fiber, SchedulerContext& scheduler) {
#if HOSTCUDA_SWAPCONTEXT
    asan_start_switch(&fiber.fake_stack, scheduler.bottom, scheduler.size);
    tsan_switch_to(scheduler.tsan_fiber);
    swapcontext(&fiber.saved->context, &scheduler.context);
    asan_finish_switch(fiber.fake_stack, &scheduler.bottom, &scheduler.size);
#elif HOSTCUDA_STACK_SWITCH
    hostcuda_switch_stack(&fiber.stack_pointer, scheduler.stack_pointer);
#else
    if (_setjmp(fiber.saved->jump) == 0) {
        _longjmp(scheduler.jump, 1);
    }
#endif
}

}  // namespace hostcuda::detail
