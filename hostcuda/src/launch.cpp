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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hostcuda_block_select.h"
#include "internal.h"

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
// initial_fiber_stack). A block switches fibers twice per thread at every barrier; glibc's
// _longjmp also walks cleanup handlers and demangles pointers, which made the switches a
// large part of a barrier-heavy kernel's time. The SSE and x87 control words are not
// switched (saving them costs more than the rest): fibers never leave their OS thread and
// no kernel changes them.
extern "C" __attribute__((visibility("hidden"))) void hostcuda_switch_stack(void** from, void* to);
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

thread_local constinit uint3 threadIdx HOSTCUDA_STATIC_TLS{0, 0, 0};
thread_local constinit uint3 blockIdx HOSTCUDA_STATIC_TLS{0, 0, 0};
thread_local constinit dim3 blockDim HOSTCUDA_STATIC_TLS{1, 1, 1};
thread_local constinit dim3 gridDim HOSTCUDA_STATIC_TLS{1, 1, 1};

namespace {

using hostcuda::detail::ExecutionError;

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

// ThreadSanitizer must be told which stack runs: each fiber is a TSan fiber, and a switch
// with flag 0 orders the fibers of one block as their barriers do. Blocks on different OS
// threads stay unordered, so a race between them is reported.
[[maybe_unused]] void* tsan_create_fiber() {
#if HOSTCUDA_TSAN
    return __tsan_create_fiber(0);
#else
    return nullptr;
#endif
}

[[maybe_unused]] void tsan_destroy_fiber(void* fiber) {
#if HOSTCUDA_TSAN
    if (fiber != nullptr) {
        __tsan_destroy_fiber(fiber);
    }
#else
    (void)fiber;
#endif
}

[[maybe_unused]] void* tsan_current_fiber() {
#if HOSTCUDA_TSAN
    return __tsan_get_current_fiber();
#else
    return nullptr;
#endif
}

[[maybe_unused]] void tsan_switch_to(void* fiber) {
#if HOSTCUDA_TSAN
    __tsan_switch_to_fiber(fiber, 0);
#else
    (void)fiber;
#endif
}

constexpr size_t kFiberStackBytes = 256 * 1024;  // kernels keep 64-element complex vectors
constexpr size_t kMaxShared = hostcuda::kMaxSharedBytes;

bool env_flag(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr && text[0] != '\0' && text[0] != '0';
}

// Static shared bytes each kernel was seen to use, so that a later launch whose static plus
// dynamic shared memory is too large fails at launch, as it does on a GPU.
class StaticSharedSizes {
public:
    void record(const void* kernel, size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t& known = bytes_[kernel];
        known = std::max(known, bytes);
    }
    size_t known(const void* kernel) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = bytes_.find(kernel);
        return it == bytes_.end() ? 0 : it->second;
    }

private:
    std::mutex mutex_;
    std::map<const void*, size_t> bytes_;
};

StaticSharedSizes& static_shared_sizes() {
    static StaticSharedSizes* instance = new StaticSharedSizes();
    return *instance;
}

// Kernels seen to run every block without a barrier and without shared memory. Under the
// spread switch their blocks are cut into warps dealt out over the OS threads, so that two
// threads of one block that write one amplitude are a race ThreadSanitizer can see.
class IndependentKernels {
public:
    void add(const void* kernel) {
        std::lock_guard<std::mutex> lock(mutex_);
        kernels_.push_back(kernel);
    }
    bool contains(const void* kernel) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(kernels_.begin(), kernels_.end(), kernel) != kernels_.end();
    }

private:
    std::mutex mutex_;
    std::vector<const void*> kernels_;
};

IndependentKernels& independent_kernels() {
    static IndependentKernels* instance = new IndependentKernels();
    return *instance;
}

constexpr unsigned long long kWarp = 32;

std::string shared_overflow_message(size_t static_bytes, size_t dynamic_bytes) {
    return "static (" + std::to_string(static_bytes) + " bytes) plus dynamic (" + std::to_string(dynamic_bytes) +
           " bytes) shared memory of a block exceeds the 48 KiB a block may use";
}

// What one queued launch runs.
struct GridLaunch {
    dim3 grid;
    dim3 block;
    size_t shared_bytes;
    const void* kernel;
    std::function<void()> body;
};

// A fiber stack with a guard page below it, so an overflow faults instead of
// silently overwriting a neighbour's stack. Its top is lowered by `colour` bytes: the
// mappings are page aligned, so without it the hot top lines of every fiber's stack would
// compete for the same few cache sets and each switch would miss the L1 cache.
class FiberStack {
public:
    explicit FiberStack(size_t colour) : colour_(colour) {
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
    void configure(const GridLaunch& launch) {
        body_ = &launch.body;
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

    void run_block(unsigned long long linear_block) {
        set_block(linear_block);
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

    // Runs threads [first, last) of a block known to need no barrier and no shared memory
    // as a plain loop: such a block may be cut into pieces on different OS threads.
    void run_threads(unsigned long long linear_block, unsigned long long first, unsigned long long last) {
        set_block(linear_block);
        current_ = -1;
        for (unsigned long long t = first; t < last; ++t) {
            threadIdx = thread_index_of(t, block_);
            (*body_)();
        }
    }

    // Whether the last block ran without a barrier and never reached shared memory.
    bool block_was_independent() const { return plain_block_ && !touched_shared_; }

    void barrier() {
        if (current_ < 0) {
            throw DivergentBarrier();
        }
        Fiber& fiber = fibers_[static_cast<size_t>(current_)];
        fiber.state = FiberState::AtBarrier;
        yield_to_scheduler(fiber);
    }

    void* shared() {
        touched_shared_ = true;
        return shared_.data();
    }

    // A block reaches a static shared array: every thread of the block gets the same
    // bytes, poisoned when the first of them arrives.
    void* static_shared(const void* site, size_t bytes, size_t alignment) {
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

private:
    void run_fibers(unsigned long long threads) {
        // Thread 0 decides: if it finishes without a barrier, the block has none.
        start_fiber(0);
        resume(0);
        rethrow_if_failed();
        if (fibers_[0].state == FiberState::Done) {
            plain_block_ = true;
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
#if HOSTCUDA_SWAPCONTEXT
        asan_start_switch(&fiber.fake_stack, scheduler_bottom_, scheduler_size_);
        tsan_switch_to(scheduler_tsan_fiber_);
        swapcontext(&fiber.saved->context, &scheduler_context_);
        asan_finish_switch(fiber.fake_stack, &scheduler_bottom_, &scheduler_size_);
#elif HOSTCUDA_STACK_SWITCH
        hostcuda_switch_stack(&fiber.stack_pointer, scheduler_stack_pointer_);
#else
        if (_setjmp(fiber.saved->jump) == 0) {
            _longjmp(scheduler_jump_, 1);
        }
#endif
    }

#if HOSTCUDA_STACK_SWITCH
    // A fresh fiber's stack as hostcuda_switch_stack leaves one: six zeroed registers and
    // the trampoline as the return address, placed so that the trampoline starts with the
    // stack alignment of a called function.
    static void* initial_fiber_stack(const FiberStack& stack) {
        auto* top = reinterpret_cast<uint64_t*>(static_cast<char*>(stack.bottom()) + stack.size());
        top[-1] = 0;  // the trampoline's own return address: it never returns
        top[-2] = reinterpret_cast<uint64_t>(&BlockScheduler::trampoline);
        for (int slot = 3; slot <= 8; ++slot) {
            top[-slot] = 0;
        }
        return &top[-8];
    }
#endif

    void ensure_fibers(unsigned long long threads) {
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

    void start_fiber(unsigned long long t) {
        Fiber& fiber = fibers_[t];
        fiber.state = FiberState::Running;
        if (fiber.entered) {
            return;  // waiting in the trampoline loop for its next thread
        }
        fiber.fake_stack = nullptr;
        tsan_destroy_fiber(fiber.tsan_fiber);
        fiber.tsan_fiber = tsan_create_fiber();
#if !HOSTCUDA_STACK_SWITCH
        ucontext_t& context = fiber.saved->context;
        getcontext(&context);
        context.uc_stack.ss_sp = stacks_[t]->bottom();
        context.uc_stack.ss_size = stacks_[t]->size();
        context.uc_link = nullptr;
        makecontext(&context, &BlockScheduler::trampoline, 0);
#endif
    }

    void resume(unsigned long long t) {
        current_ = static_cast<long long>(t);
        threadIdx = fibers_[t].thread_index;
        Fiber& fiber = fibers_[t];
#if HOSTCUDA_SWAPCONTEXT
        fiber.entered = true;
        void* fake_stack = nullptr;
        scheduler_tsan_fiber_ = tsan_current_fiber();
        asan_start_switch(&fake_stack, stacks_[t]->bottom(), stacks_[t]->size());
        tsan_switch_to(fiber.tsan_fiber);
        swapcontext(&scheduler_context_, &fiber.saved->context);
        asan_finish_switch(fake_stack, nullptr, nullptr);
#elif HOSTCUDA_STACK_SWITCH
        if (!fiber.entered) {
            fiber.entered = true;
            fiber.stack_pointer = initial_fiber_stack(*stacks_[t]);
        }
        hostcuda_switch_stack(&scheduler_stack_pointer_, fiber.stack_pointer);
#else
        if (_setjmp(scheduler_jump_) == 0) {
            if (fiber.entered) {
                _longjmp(fiber.saved->jump, 1);
            }
            fiber.entered = true;
            setcontext(&fiber.saved->context);
        }
#endif
        current_ = -1;
    }

    void set_block(unsigned long long linear_block) {
        blockIdx = uint3{static_cast<unsigned>(linear_block % grid_.x),
                         static_cast<unsigned>((linear_block / grid_.x) % grid_.y),
                         static_cast<unsigned>(linear_block / (static_cast<unsigned long long>(grid_.x) * grid_.y))};
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
    unsigned long long indexed_threads_ = 0;  // the fibers' thread indices are for this many
    dim3 indexed_block_{0, 0, 0};             // threads of blocks of this shape
    ucontext_t scheduler_context_{};
    jmp_buf scheduler_jump_{};
    void* scheduler_stack_pointer_ = nullptr;
    const void* scheduler_bottom_ = nullptr;
    size_t scheduler_size_ = 0;
    void* scheduler_tsan_fiber_ = nullptr;
    const std::function<void()>* body_ = nullptr;
    const void* kernel_ = nullptr;
    dim3 grid_{};
    dim3 block_{};
    size_t shared_bytes_ = 0;
    long long current_ = -1;
    std::exception_ptr error_;
    std::vector<unsigned char> shared_;
    struct StaticSite {
        const void* site;
        size_t offset;
    };
    std::vector<StaticSite> static_sites_;
    size_t static_used_ = 0;
    bool plain_block_ = false;
    bool touched_shared_ = false;
    alignas(256) unsigned char static_arena_[kMaxShared];
};

// The scheduler lives on the heap: its shared-memory arena would make the module's TLS
// block too large for the static TLS the built-ins use. The pointer is found without a
// call, since every __syncthreads needs it.
thread_local constinit BlockScheduler* tls_scheduler HOSTCUDA_STATIC_TLS = nullptr;

BlockScheduler& scheduler() {
    if (tls_scheduler == nullptr) {
        thread_local const std::unique_ptr<BlockScheduler> owner = std::make_unique<BlockScheduler>();
        tls_scheduler = owner.get();
    }
    return *tls_scheduler;
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
            std::thread([this, i] { worker_loop(static_cast<unsigned>(i) + 1); }).detach();
        }
        workers_ = static_cast<int>(extra);
    }

    // `spread` deals the blocks out round-robin, so neighbouring blocks always run on
    // different OS threads; otherwise threads take the next block as they become free.
    // With `split`, the units dealt out are warps of blocks known to be independent.
    // `independent` receives whether every block ran as independent threads.
    bool try_run(const GridLaunch* launch, unsigned long long blocks, bool spread, bool split, bool* independent) {
        std::unique_lock<std::mutex> launch_lock(launch_mutex_, std::try_to_lock);
        if (!launch_lock.owns_lock() || workers_ == 0) {
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(done_mutex_);
            error_ = nullptr;
            pending_ = workers_;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            launch_ = launch;
            spread_ = spread;
            split_ = split;
            all_independent_.store(true, std::memory_order_relaxed);
            threads_per_block_ = static_cast<unsigned long long>(launch->block.x) * launch->block.y * launch->block.z;
            warps_per_block_ = split ? (threads_per_block_ + kWarp - 1) / kWarp : 1;
            total_units_ = blocks * warps_per_block_;
            next_block_.store(0, std::memory_order_relaxed);
            failed_.store(false, std::memory_order_relaxed);
            {
                // Before the new generation is published: a worker may see it without waiting
                // for the notification and reach the barrier at once.
                std::lock_guard<std::mutex> begin_lock(begin_mutex_);
                begun_ = 0;
            }
            ++generation_;
        }
        start_.notify_all();
        if (spread) {
            begin_together();
        }
        work(0);
        std::unique_lock<std::mutex> lock(done_mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
        if (error_) {
            std::rethrow_exception(error_);
        }
        *independent = all_independent_.load(std::memory_order_relaxed);
        return true;
    }

private:
    // When spreading, nobody starts on a block before every participant, the launching thread
    // included, has reached this barrier, and its lock is taken by no one again during the
    // grid. Otherwise a participant that takes a lock late (the start lock, or this one) after
    // another finished its blocks and released that lock would order those blocks before its
    // own, and ThreadSanitizer could not see a race between them.
    void begin_together() {
        std::unique_lock<std::mutex> lock(begin_mutex_);
        if (++begun_ == workers_ + 1) {
            begin_.notify_all();
            return;
        }
        begin_.wait(lock, [this] { return begun_ == workers_ + 1; });
    }

    void worker_loop(unsigned participant) {
        unsigned long long seen = 0;
        bool spread = false;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                start_.wait(lock, [&] { return generation_ != seen; });
                seen = generation_;
                spread = spread_;
            }
            if (spread) {
                begin_together();
            }
            work(participant);
            std::lock_guard<std::mutex> lock(done_mutex_);
            if (--pending_ == 0) {
                done_.notify_all();
            }
        }
    }

    // Block hand-out is relaxed on purpose: it must not order one block's memory accesses
    // before another's, or ThreadSanitizer could not see a race between them.
    void work(unsigned participant) {
        BlockScheduler& local = scheduler();
        local.configure(*launch_);
        const unsigned long long participants = static_cast<unsigned long long>(workers_) + 1;
        try {
            for (unsigned long long round = 0;; ++round) {
                const unsigned long long unit =
                    spread_ ? round * participants + participant : next_block_.fetch_add(1, std::memory_order_relaxed);
                if (unit >= total_units_ || failed_.load(std::memory_order_relaxed)) {
                    break;
                }
                if (split_) {
                    const unsigned long long first = unit % warps_per_block_ * kWarp;
                    local.run_threads(unit / warps_per_block_, first, std::min(first + kWarp, threads_per_block_));
                    continue;
                }
                local.run_block(unit);
                if (!local.block_was_independent()) {
                    all_independent_.store(false, std::memory_order_relaxed);
                }
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(done_mutex_);
            if (!error_) {
                error_ = std::current_exception();
            }
            failed_.store(true, std::memory_order_relaxed);
        }
    }

    std::mutex launch_mutex_;
    std::mutex mutex_;        // start of a grid: generation_ and the grid's settings
    std::mutex begin_mutex_;  // the barrier before the first block when spreading: begun_
    std::mutex done_mutex_;   // end of a grid: pending_ and error_
    std::condition_variable start_;
    std::condition_variable begin_;
    std::condition_variable done_;
    int workers_ = 0;
    int pending_ = 0;
    int begun_ = 0;
    unsigned long long generation_ = 0;
    const GridLaunch* launch_ = nullptr;
    bool spread_ = false;
    bool split_ = false;
    std::atomic<bool> all_independent_{true};
    unsigned long long threads_per_block_ = 0;
    unsigned long long warps_per_block_ = 1;
    unsigned long long total_units_ = 0;
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
    if (shared_bytes > kMaxShared) {
        return cudaErrorInvalidValue;
    }
    if (stream != nullptr) {
        return cudaErrorInvalidResourceHandle;
    }
    return cudaSuccess;
}

// Every pointer argument must be one the device can read when the kernel runs.
void check_pointer_arguments(const std::vector<hostcuda::PointerArgument>& pointers) {
    for (const hostcuda::PointerArgument& argument : pointers) {
        if (argument.pointer != nullptr && !hostcuda::detail::device_can_access(argument.pointer)) {
            char address[32];
            std::snprintf(address, sizeof address, "%p", argument.pointer);
            throw ExecutionError(cudaErrorIllegalAddress,
                                 "kernel pointer argument " + std::to_string(argument.index) + " (" + address +
                                     ") is neither null nor inside a live device allocation or a registered host "
                                     "range: an illegal memory access was encountered");
        }
    }
}

// Runs a whole grid on the calling thread and, when it is worth it, the worker pool.
void execute(const GridLaunch& launch) {
    const unsigned long long blocks = static_cast<unsigned long long>(launch.grid.x) * launch.grid.y * launch.grid.z;
    const unsigned long long threads = blocks * launch.block.x * launch.block.y * launch.block.z;
    // Small grids are not worth waking the pool for, unless blocks must run spread out.
    const bool spread = env_flag("QUORRA_HOSTCUDA_SPREAD");
    bool independent = false;
    // Test-only: a BlockSelection of the thread that runs the queued work runs just its
    // chosen blocks, here and serially.
    if (hostcuda::BlockSelection::active()) {
        BlockScheduler& local = scheduler();
        local.configure(launch);
        hostcuda::BlockSelection::run_selected(blocks, [&](unsigned long long b) { local.run_block(b); });
        return;
    }
    if (spread) {
        const bool split = independent_kernels().contains(launch.kernel);
        const bool several_warps = launch.block.x * launch.block.y * launch.block.z > kWarp;
        if ((blocks >= 2 || (split && several_warps)) && pool().try_run(&launch, blocks, true, split, &independent)) {
            if (!split && independent) {
                independent_kernels().add(launch.kernel);
            }
            return;
        }
    } else if (blocks >= 2 && threads >= (1ULL << 15)) {
        if (pool().try_run(&launch, blocks, false, false, &independent)) {
            return;
        }
    }
    BlockScheduler& local = scheduler();
    local.configure(launch);
    independent = true;
    for (unsigned long long b = 0; b < blocks; ++b) {
        local.run_block(b);
        independent = independent && local.block_was_independent();
    }
    if (spread && independent && !independent_kernels().contains(launch.kernel)) {
        independent_kernels().add(launch.kernel);
    }
}

}  // namespace

void __syncthreads() { scheduler().barrier(); }

double atomicAdd(double* address, double value) {
    std::atomic_ref<double> target(*address);
    return target.fetch_add(value, std::memory_order_relaxed);
}

namespace hostcuda {

void launch(dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream, std::function<void()> thread_body,
            std::vector<PointerArgument> pointers, const void* kernel) {
    cudaError_t config = check_configuration(grid, block, dynamic_shared_bytes, stream);
    if (config == cudaSuccess) {
        const size_t static_bytes = static_shared_sizes().known(kernel);
        if (static_bytes + dynamic_shared_bytes > kMaxShared) {
            std::fprintf(stderr, "host stand-in: launch refused: %s\n",
                         shared_overflow_message(static_bytes, dynamic_shared_bytes).c_str());
            config = cudaErrorInvalidValue;
        }
    }
    if (config != cudaSuccess) {
        detail::set_last_error(config);
        return;
    }
    std::vector<detail::Range> uses;
    uses.reserve(pointers.size());
    for (const PointerArgument& argument : pointers) {
        uses.push_back(detail::Range{reinterpret_cast<uintptr_t>(argument.pointer), 1});
    }
    auto grid_launch =
        std::make_shared<GridLaunch>(GridLaunch{grid, block, dynamic_shared_bytes, kernel, std::move(thread_body)});
    detail::enqueue(detail::Work{"kernel",
                                 [grid_launch, pointers = std::move(pointers)] {
                                     check_pointer_arguments(pointers);
                                     execute(*grid_launch);
                                 },
                                 std::move(uses)});
}

void* dynamic_shared_memory() { return scheduler().shared(); }

void* static_shared_memory(const void* site, size_t bytes, size_t alignment) {
    return scheduler().static_shared(site, bytes, alignment);
}

}  // namespace hostcuda
