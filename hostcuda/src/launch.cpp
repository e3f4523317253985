// Host stand-in for kernel launches: grid scheduling over a worker pool, and one
// fiber per thread for blocks that meet at __syncthreads. Read by g++ only.

// Fibers jump between stacks on purpose; the fortified longjmp would take that for a
// corrupted stack.
#undef _FORTIFY_SOURCE

#include <cuda_runtime.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hostcuda_block_select.h"

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

thread_local constinit uint3 threadIdx{0, 0, 0};
thread_local constinit uint3 blockIdx{0, 0, 0};
thread_local constinit dim3 blockDim{1, 1, 1};
thread_local constinit dim3 gridDim{1, 1, 1};

namespace hostcuda::detail {
void set_last_error(cudaError_t error);
}

namespace {

// ASan must be told about every stack switch, or it reports the fiber stacks as
// overflows of the thread's own stack.
[[maybe_unused]] void asan_start_switch(void** fake_stack_save, const void* bottom, size_t size) {
#if HOSTCUDA_ASAN
    __sanitizer_start_switch_fiber(fake_stack_save, bottom, size);
#else
    (void)fake_stack_save;
    (void)bottom;
    (void)size;
#endif
}

void asan_finish_switch(void* fake_stack_save, const void** bottom_old, size_t* size_old) {
#if HOSTCUDA_ASAN
    __sanitizer_finish_switch_fiber(fake_stack_save, bottom_old, size_old);
#else
    (void)fake_stack_save;
    (void)bottom_old;
    (void)size_old;
#endif
}

constexpr size_t kFiberStackBytes = 256 * 1024;  // kernels keep 64-element complex vectors
constexpr size_t kMaxDynamicShared = 48 * 1024;

// A fiber stack with a guard page below it, so an overflow faults instead of
// silently overwriting a neighbour's stack.
class FiberStack {
public:
    FiberStack() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGE_SIZE));
        mapping_ = mmap(nullptr, kFiberStackBytes + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping_ == MAP_FAILED) {
            throw std::bad_alloc();
        }
        mprotect(mapping_, page_, PROT_NONE);
    }
    ~FiberStack() { munmap(mapping_, kFiberStackBytes + page_); }
    FiberStack(const FiberStack&) = delete;
    FiberStack& operator=(const FiberStack&) = delete;

    void* bottom() const { return static_cast<char*>(mapping_) + page_; }
    size_t size() const { return kFiberStackBytes; }

private:
    void* mapping_ = nullptr;
    size_t page_ = 0;
};

enum class FiberState { Running, AtBarrier, Done };

// A fiber is made once per stack and then kept: each thread of a later block reuses it,
// so starting a thread costs one jump instead of a new context. Switches are plain
// _setjmp/_longjmp (no signal-mask system calls); under ASan they stay on swapcontext,
// whose stack switches the sanitizer is told about.
struct Fiber {
    ucontext_t context{};
    jmp_buf jump{};
    bool entered = false;  // the context has been entered and waits in the trampoline loop
    FiberState state = FiberState::Running;
    void* fake_stack = nullptr;
    uint3 thread_index{0, 0, 0};
};

class DivergentBarrier : public std::runtime_error {
public:
    DivergentBarrier()
        : std::runtime_error(
              "host stand-in: __syncthreads reached by only part of a block (divergent barrier, a GPU would hang)") {}
};

uint3 thread_index_of(unsigned long long linear, const dim3& block) {
    return uint3{static_cast<unsigned>(linear % block.x), static_cast<unsigned>((linear / block.x) % block.y),
                 static_cast<unsigned>(linear / (static_cast<unsigned long long>(block.x) * block.y))};
}

// Runs blocks on the OS thread that owns it. Fibers never move to another OS thread.
class BlockScheduler {
public:
    void configure(const std::function<void()>* body, dim3 grid, dim3 block, size_t shared_bytes) {
        body_ = body;
        grid_ = grid;
        block_ = block;
        shared_bytes_ = shared_bytes;
        if (shared_.size() < shared_bytes) {
            shared_.resize(shared_bytes);
        }
        gridDim = grid;
        blockDim = block;
    }

    void run_block(unsigned long long linear_block) {
        blockIdx = uint3{static_cast<unsigned>(linear_block % grid_.x),
                         static_cast<unsigned>((linear_block / grid_.x) % grid_.y),
                         static_cast<unsigned>(linear_block / (static_cast<unsigned long long>(grid_.x) * grid_.y))};
        if (shared_bytes_ > 0) {
            std::memset(shared_.data(), hostcuda::kPoisonByte, shared_bytes_);
        }
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

    void barrier() {
        if (current_ < 0) {
            throw DivergentBarrier();
        }
        Fiber& fiber = fibers_[static_cast<size_t>(current_)];
        fiber.state = FiberState::AtBarrier;
        yield_to_scheduler(fiber);
    }

    void* shared() { return shared_.data(); }

private:
    void run_fibers(unsigned long long threads) {
        // Thread 0 decides: if it finishes without a barrier, the block has none.
        start_fiber(0);
        resume(0);
        rethrow_if_failed();
        if (fibers_[0].state == FiberState::Done) {
            for (unsigned long long t = 1; t < threads; ++t) {
                threadIdx = thread_index_of(t, block_);
                (*body_)();
            }
            return;
        }
        for (unsigned long long t = 1; t < threads; ++t) {
            start_fiber(t);
            resume(t);
            rethrow_if_failed();
        }
        // Each phase resumes the threads in the opposite order of the last one, so
        // a missing barrier shows up as a wrong result rather than passing by luck.
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
            for (unsigned long long i = 0; i < threads; ++i) {
                const unsigned long long t = (phase % 2 == 1) ? threads - 1 - i : i;
                fibers_[t].state = FiberState::Running;
                resume(t);
                rethrow_if_failed();
            }
        }
    }

    // Back to the scheduler; returns when the fiber is resumed.
    void yield_to_scheduler(Fiber& fiber) {
#if HOSTCUDA_ASAN
        asan_start_switch(&fiber.fake_stack, scheduler_bottom_, scheduler_size_);
        swapcontext(&fiber.context, &scheduler_context_);
        asan_finish_switch(fiber.fake_stack, &scheduler_bottom_, &scheduler_size_);
#else
        if (_setjmp(fiber.jump) == 0) {
            _longjmp(scheduler_jump_, 1);
        }
#endif
    }

    void ensure_fibers(unsigned long long threads) {
        while (stacks_.size() < threads) {
            stacks_.push_back(std::make_unique<FiberStack>());
        }
        if (fibers_.size() < threads) {
            // Growing moves the fibers, and a saved ucontext points into itself: start afresh.
            fibers_.resize(threads);
            for (Fiber& fiber : fibers_) {
                fiber.entered = false;
            }
        }
    }

    void start_fiber(unsigned long long t) {
        Fiber& fiber = fibers_[t];
        fiber.state = FiberState::Running;
        fiber.thread_index = thread_index_of(t, block_);
        if (fiber.entered) {
            return;  // waiting in the trampoline loop for its next thread
        }
        fiber.fake_stack = nullptr;
        getcontext(&fiber.context);
        fiber.context.uc_stack.ss_sp = stacks_[t]->bottom();
        fiber.context.uc_stack.ss_size = stacks_[t]->size();
        fiber.context.uc_link = nullptr;
        makecontext(&fiber.context, &BlockScheduler::trampoline, 0);
    }

    void resume(unsigned long long t) {
        current_ = static_cast<long long>(t);
        threadIdx = fibers_[t].thread_index;
        Fiber& fiber = fibers_[t];
#if HOSTCUDA_ASAN
        fiber.entered = true;
        void* fake_stack = nullptr;
        asan_start_switch(&fake_stack, stacks_[t]->bottom(), stacks_[t]->size());
        swapcontext(&scheduler_context_, &fiber.context);
        asan_finish_switch(fake_stack, nullptr, nullptr);
#else
        if (_setjmp(scheduler_jump_) == 0) {
            if (fiber.entered) {
                _longjmp(fiber.jump, 1);
            }
            fiber.entered = true;
            setcontext(&fiber.context);
        }
#endif
        current_ = -1;
    }

    void rethrow_if_failed() {
        if (error_) {
            std::exception_ptr error = error_;
            error_ = nullptr;
            std::rethrow_exception(error);
        }
    }

    static void trampoline();

    std::vector<std::unique_ptr<FiberStack>> stacks_;
    std::vector<Fiber> fibers_;
    ucontext_t scheduler_context_{};
    jmp_buf scheduler_jump_{};
    const void* scheduler_bottom_ = nullptr;
    size_t scheduler_size_ = 0;
    const std::function<void()>* body_ = nullptr;
    dim3 grid_{};
    dim3 block_{};
    size_t shared_bytes_ = 0;
    long long current_ = -1;
    std::exception_ptr error_;
    std::vector<unsigned char> shared_;
};

BlockScheduler& scheduler() {
    thread_local BlockScheduler instance;
    return instance;
}

void BlockScheduler::trampoline() {
    BlockScheduler& self = scheduler();
    asan_finish_switch(nullptr, &self.scheduler_bottom_, &self.scheduler_size_);
    for (;;) {
        try {
            (*self.body_)();
        } catch (...) {
            // Rethrown on the launching stack; unwinding must not leave the fiber.
            self.error_ = std::current_exception();
        }
        Fiber& fiber = self.fibers_[static_cast<size_t>(self.current_)];
        fiber.state = FiberState::Done;
        self.yield_to_scheduler(fiber);  // resumed to run another thread
    }
}

// One grid at a time is spread over a pool of worker threads; the launching thread
// works too. A launch from a second thread while the pool is busy runs serially.
class WorkerPool {
public:
    WorkerPool() {
        long long wanted = std::thread::hardware_concurrency();
        if (const char* text = std::getenv("QUORRA_HOSTCUDA_THREADS")) {
            wanted = std::atoll(text);
        }
        const long long extra = std::clamp<long long>(wanted, 1, 64) - 1;
        for (long long i = 0; i < extra; ++i) {
            std::thread([this] { worker_loop(); }).detach();
        }
        workers_ = static_cast<int>(extra);
    }

    bool try_run(const std::function<void()>* body, dim3 grid, dim3 block, size_t shared_bytes,
                 unsigned long long blocks) {
        std::unique_lock<std::mutex> launch_lock(launch_mutex_, std::try_to_lock);
        if (!launch_lock.owns_lock() || workers_ == 0) {
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            body_ = body;
            grid_ = grid;
            block_ = block;
            shared_bytes_ = shared_bytes;
            total_blocks_ = blocks;
            next_block_.store(0);
            failed_.store(false);
            error_ = nullptr;
            pending_ = workers_;
            ++generation_;
        }
        start_.notify_all();
        work();
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
        if (error_) {
            std::rethrow_exception(error_);
        }
        return true;
    }

private:
    void worker_loop() {
        unsigned long long seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                start_.wait(lock, [&] { return generation_ != seen; });
                seen = generation_;
            }
            work();
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) {
                done_.notify_all();
            }
        }
    }

    void work() {
        BlockScheduler& local = scheduler();
        local.configure(body_, grid_, block_, shared_bytes_);
        try {
            for (;;) {
                const unsigned long long b = next_block_.fetch_add(1);
                if (b >= total_blocks_ || failed_.load()) {
                    break;
                }
                local.run_block(b);
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) {
                error_ = std::current_exception();
            }
            failed_.store(true);
        }
    }

    std::mutex launch_mutex_;
    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    int workers_ = 0;
    int pending_ = 0;
    unsigned long long generation_ = 0;
    const std::function<void()>* body_ = nullptr;
    dim3 grid_{};
    dim3 block_{};
    size_t shared_bytes_ = 0;
    unsigned long long total_blocks_ = 0;
    std::atomic<unsigned long long> next_block_{0};
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

WorkerPool& pool() {
    static WorkerPool* instance = new WorkerPool();  // never destroyed: workers live until exit
    return *instance;
}

cudaError_t check_configuration(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream) {
    const unsigned long long threads = static_cast<unsigned long long>(block.x) * block.y * block.z;
    if (threads == 0 || threads > 1024 || block.x > 1024 || block.y > 1024 || block.z > 64) {
        return cudaErrorInvalidConfiguration;
    }
    if (grid.x == 0 || grid.x > 0x7fffffffu || grid.y == 0 || grid.y > 65535 || grid.z == 0 || grid.z > 65535) {
        return cudaErrorInvalidConfiguration;
    }
    if (shared_bytes > kMaxDynamicShared) {
        return cudaErrorInvalidValue;
    }
    if (stream != nullptr) {
        return cudaErrorInvalidResourceHandle;
    }
    return cudaSuccess;
}

}  // namespace

void __syncthreads() { scheduler().barrier(); }

double atomicAdd(double* address, double value) {
    std::atomic_ref<double> target(*address);
    return target.fetch_add(value, std::memory_order_relaxed);
}

namespace hostcuda {

void launch(dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream,
            const std::function<void()>& thread_body) {
    const cudaError_t config = check_configuration(grid, block, dynamic_shared_bytes, stream);
    if (config != cudaSuccess) {
        detail::set_last_error(config);
        return;
    }
    const unsigned long long blocks = static_cast<unsigned long long>(grid.x) * grid.y * grid.z;
    // Test-only: a thread's BlockSelection runs just its chosen blocks, here and serially.
    if (BlockSelection::active()) {
        BlockScheduler& local = scheduler();
        local.configure(&thread_body, grid, block, dynamic_shared_bytes);
        BlockSelection::run_selected(blocks, [&](unsigned long long b) { local.run_block(b); });
        return;
    }
    const unsigned long long threads = blocks * block.x * block.y * block.z;
    // Small grids are not worth waking the pool for.
    if (blocks >= 2 && threads >= (1ULL << 15)) {
        if (pool().try_run(&thread_body, grid, block, dynamic_shared_bytes, blocks)) {
            return;
        }
    }
    BlockScheduler& local = scheduler();
    local.configure(&thread_body, grid, block, dynamic_shared_bytes);
    for (unsigned long long b = 0; b < blocks; ++b) {
        local.run_block(b);
    }
}

void* dynamic_shared_memory() { return scheduler().shared(); }

}  // namespace hostcuda
