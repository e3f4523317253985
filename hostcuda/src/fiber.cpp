// Fiber stacks and, on x86-64, the stack switch of the host stand-in. Read by g++ only.

// Fibers jump between stacks on purpose; the fortified longjmp would take that for a
// corrupted stack.
#undef _FORTIFY_SOURCE

#include "fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

#if HOSTCUDA_STACK_SWITCH
// A block switches fibers twice per thread at every barrier; glibc's _longjmp also walks
// cleanup handlers and demangles pointers, which made the switches a large part of a
// barrier-heavy kernel's time. The SSE and x87 control words are not switched (saving them
// costs more than the rest): fibers never leave their OS thread and no kernel changes them.
asm(R"(
    .pushsection .text
    .p2align 4
    .globl hostcuda_switch_stack
    .hidden hostcuda_switch_stack
    .type hostcuda_switch_stack, @function
hostcuda_switch_stack:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size hostcuda_switch_stack, .-hostcuda_switch_stack
    .popsection
)");
#endif

namespace hostcuda::detail {

FiberStack::FiberStack(size_t colour) : colour_(colour) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGE_SIZE));
    mapping_ = mmap(nullptr, kFiberStackBytes + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        throw std::bad_alloc();
    }
    mprotect(mapping_, page_, PROT_NONE);
}

FiberStack::~FiberStack() { munmap(mapping_, kFiberStackBytes + page_); }

}  // namespace hostcuda::detail
