// The block scheduler of the host stand-in, and the device built-ins that reach it
// (__syncthreads, shared memory). Read by g++ only.

// Fibers jump between stacks on purpose; the fortified longjmp would take that for a
// corrupted stack.
#undef _FORTIFY_SOURCE

#include "block_scheduler.h"

#include <cstring>
#include <utility>

namespace hostcuda::detail {

StaticSharedSizes& static_shared_sizes() {
    static StaticSharedSizes* instance = new StaticSharedSizes();
    return *instance;
}

std::string shared_overflow_message(size_t static_bytes, size_t dynamic_bytes) {
    return "static (" + std::to_string(static_bytes) + " bytes) plus dynamic (" + std::to_string(dynamic_bytes) +
           " bytes) shared memory of a block exceeds the 48 KiB a block may use";
}

uint3 thread_index_of(unsigned long long linear, const dim3& block) {
    return uint3{static_cast<unsigned>(linear % block.x), static_cast<unsigned>((linear / block.x) % block.y),
                 static_cast<unsigned>(linear / (static_cast<unsigned long long>(block.x) * block.y))};
}

namespace {
// SplitMix64's finaliser: a well-mixed 64-bit value from any input.
uint64_t mix64(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}
}  // namespace

void shuffled_order(uint64_t seed, unsigned long long linear_block, unsigned long long phase,
                    unsigned long long threads, std::vector<uint32_t>& order) {
    order.resize(threads);
    for (unsigned long long t = 0; t < threads; ++t) {
        order[t] = static_cast<uint32_t>(t);
    }
    uint64_t state = mix64(mix64(mix64(seed) ^ linear_block) ^ phase);
    // Fisher-Yates; the bias of taking the draw modulo i + 1 is far below what matters here.
    for (unsigned long long i = threads; i > 1; --i) {
        state = mix64(state);
        std::swap(order[i - 1], order[state % i]);
    }
}

void BlockScheduler::configure(const GridLaunch& launch) {
    body_ = &launch.body;
    order_ = launch.order;
    grid_ = launch.grid;
    block_ = launch.block;
    shared_bytes_ = launch.shared_bytes;
    kernel_ = launch.kernel;
    if (shared_.size() < shared_bytes_) {
        shared_.resize(shared_bytes_);
    }
    gridDim = grid_;
    blockDim = block_;
}

void BlockScheduler::run_block(unsigned long long linear_block) {
    set_block(linear_block);
    linear_block_ = linear_block;
    plain_block_ = false;
    touched_shared_ = false;
    if (shared_bytes_ > 0) {
        std::memset(shared_.data(), hostcuda::kPoisonByte, shared_bytes_);
    }
    static_sites_.clear();
    static_used_ = 0;
    const unsigned long long threads = static_cast<unsigned long long>(block_.x) * block_.y * block_.z;
    ensure_fibers(threads);
    error_ = nullptr;

    try {
        run_fibers(threads);
    } catch (...) {
        // Threads left at a barrier are abandoned: their fibers start afresh next time.
        for (Fiber& fiber : fibers_) {
            fiber.entered = false;
        }
        throw;
    }
}

void BlockScheduler::run_threads(unsigned long long linear_block, unsigned long long first, unsigned long long last) {
    set_block(linear_block);
    current_ = -1;
    for (unsigned long long t = first; t < last; ++t) {
        threadIdx = thread_index_of(t, block_);
        (*body_)();
    }
}

void BlockScheduler::barrier() {
    if (current_ < 0) {
        throw DivergentBarrier();
    }
    Fiber& fiber = fibers_[static_cast<size_t>(current_)];
    fiber.state = FiberState::AtBarrier;
    switch_to_scheduler(fiber, scheduler_context_);
}

void* BlockScheduler::shared() {
    touched_shared_ = true;
    return shared_.data();
}

void* BlockScheduler::static_shared(const void* site, size_t bytes, size_t alignment) {
    touched_shared_ = true;
    for (const StaticSite& known : static_sites_) {
        if (known.site == site) {
            return static_arena_ + known.offset;
        }
    }
    const size_t offset = (static_used_ + alignment - 1) / alignment * alignment;
    static_shared_sizes().record(kernel_, offset + bytes);
    if (offset + bytes + shared_bytes_ > kMaxShared) {
        throw ExecutionError(cudaErrorInvalidValue, shared_overflow_message(offset + bytes, shared_bytes_));
    }
    std::memset(static_arena_ + offset, hostcuda::kPoisonByte, bytes);
    static_sites_.push_back(StaticSite{site, offset});
    static_used_ = offset + bytes;
    return static_arena_ + offset;
}

void BlockScheduler::run_fibers(unsigned long long threads) {
    // The first thread decides: if it finishes without a barrier, the block has none.
    arrange_phase(threads, 0);
    const unsigned long long first = thread_at(0, threads, 0);
    start_fiber(first);
    resume(first);
    rethrow_if_failed();
    if (fibers_[first].state == FiberState::Done) {
        plain_block_ = true;
        for (unsigned long long i = 1; i < threads; ++i) {
            threadIdx = thread_index_of(thread_at(i, threads, 0), block_);
            (*body_)();
        }
        return;
    }
    for (unsigned long long i = 1; i < threads; ++i) {
        const unsigned long long t = thread_at(i, threads, 0);
        start_fiber(t);
        resume(t);
        rethrow_if_failed();
    }
    // Each phase resumes the threads in another order than the last one (see ThreadOrder),
    // so a missing barrier shows up as a wrong result rather than passing by luck.
    for (unsigned long long phase = 1;; ++phase) {
        unsigned long long done = 0;
        for (unsigned long long t = 0; t < threads; ++t) {
            done += fibers_[t].state == FiberState::Done ? 1 : 0;
        }
        if (done == threads) {
            return;
        }
        if (done != 0) {
            throw DivergentBarrier();
        }
        arrange_phase(threads, phase);
        for (unsigned long long i = 0; i < threads; ++i) {
            const unsigned long long t = thread_at(i, threads, phase);
            fibers_[t].state = FiberState::Running;
            resume(t);
            rethrow_if_failed();
        }
    }
}

void BlockScheduler::arrange_phase(unsigned long long threads, unsigned long long phase) {
    if (order_.shuffle) {
        shuffled_order(order_.seed, linear_block_, phase, threads, phase_order_);
    }
}

void BlockScheduler::ensure_fibers(unsigned long long threads) {
    while (stacks_.size() < threads) {
        constexpr size_t kCacheLine = 64;
        constexpr size_t kColours = 64;  // the sets of a typical 32 KiB L1 data cache
        stacks_.push_back(std::make_unique<FiberStack>(stacks_.size() % kColours * kCacheLine));
    }
    if (fibers_.size() < threads) {
        // Start afresh after growing: no fiber may be waiting inside a moved record.
        fibers_.resize(threads);
        for (Fiber& fiber : fibers_) {
            fiber.entered = false;
        }
    }
    // Thread indices are worked out once per block shape, not for every block.
    if (indexed_threads_ != threads || indexed_block_.x != block_.x || indexed_block_.y != block_.y) {
        for (unsigned long long t = 0; t < threads; ++t) {
            fibers_[t].thread_index = thread_index_of(t, block_);
        }
        indexed_threads_ = threads;
        indexed_block_ = block_;
    }
}

void BlockScheduler::start_fiber(unsigned long long t) {
    Fiber& fiber = fibers_[t];
    fiber.state = FiberState::Running;
    if (fiber.entered) {
        return;  // waiting in the trampoline loop for its next thread
    }
    prepare_fiber(fiber, *stacks_[t], &BlockScheduler::trampoline);
}

void BlockScheduler::resume(unsigned long long t) {
    current_ = static_cast<long long>(t);
    threadIdx = fibers_[t].thread_index;
    switch_to_fiber(scheduler_context_, fibers_[t], *stacks_[t], &BlockScheduler::trampoline);
    current_ = -1;
}

void BlockScheduler::set_block(unsigned long long linear_block) {
    blockIdx =
        uint3{static_cast<unsigned>(linear_block % grid_.x), static_cast<unsigned>((linear_block / grid_.x) % grid_.y),
              static_cast<unsigned>(linear_block / (static_cast<unsigned long long>(grid_.x) * grid_.y))};
}

void BlockScheduler::rethrow_if_failed() {
    if (error_) {
        std::exception_ptr error = error_;
        error_ = nullptr;
        std::rethrow_exception(error);
    }
}

namespace {
// The scheduler lives on the heap: its shared-memory arena would make the module's TLS
// block too large for the static TLS the built-ins use. The pointer is found without a
// call, since every __syncthreads needs it.
thread_local constinit BlockScheduler* tls_scheduler HOSTCUDA_STATIC_TLS = nullptr;
}  // namespace

BlockScheduler& scheduler() {
    if (tls_scheduler == nullptr) {
        thread_local const std::unique_ptr<BlockScheduler> owner = std::make_unique<BlockScheduler>();
        tls_scheduler = owner.get();
    }
    return *tls_scheduler;
}

void BlockScheduler::trampoline() {
    BlockScheduler& self = scheduler();
    fiber_started(self.scheduler_context_);
    for (;;) {
        try {
            (*self.body_)();
        } catch (...) {
            // Rethrown on the launching stack; unwinding must not leave the fiber.
            self.error_ = std::current_exception();
        }
        Fiber& fiber = self.fibers_[static_cast<size_t>(self.current_)];
        fiber.state = FiberState::Done;
        switch_to_scheduler(fiber, self.scheduler_context_);  // resumed to run another thread
    }
}

}  // namespace hostcuda::detail

void __syncthreads() { hostcuda::detail::scheduler().barrier(); }

namespace hostcuda {

void* dynamic_shared_memory() { return detail::scheduler().shared(); }

void* static_shared_memory(const void* site, size_t bytes, size_t alignment) {
    return detail::scheduler().static_shared(site, bytes, alignment);
}

}  // namespace hostcuda
