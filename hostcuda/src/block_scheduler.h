// The block scheduler of the host stand-in: runs the blocks of a grid on the OS thread that
// owns it, a block's threads as a plain loop or as fibers that meet at __syncthreads, with
// the block's shared memory. Read by g++ only.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "fiber.h"
#include "internal.h"

namespace hostcuda::detail {

constexpr size_t kMaxShared = hostcuda::kMaxSharedBytes;

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

StaticSharedSizes& static_shared_sizes();

std::string shared_overflow_message(size_t static_bytes, size_t dynamic_bytes);

// The order in which a block's threads run between two barriers (and, in a block without
// barriers, the order of its threads). `alternate` reverses it every other phase; `shuffle`
// draws a fresh permutation for every phase of every block from `seed`, the block and the
// phase, so that whichever thread a faulty kernel lets store last, some block of a run shows
// it, and equal launches in one process still run in equal orders.
struct ThreadOrder {
    bool shuffle = false;
    uint64_t seed = 0;
};

// What one queued launch runs.
struct GridLaunch {
    dim3 grid;
    dim3 block;
    size_t shared_bytes;
    const void* kernel;
    std::function<void()> body;
    ThreadOrder order;
};

// The permutation of `threads` threads that `phase` of block `linear_block` runs in under the
// shuffled order (phase 0 starts the block), written into `order`.
void shuffled_order(uint64_t seed, unsigned long long linear_block, unsigned long long phase,
                    unsigned long long threads, std::vector<uint32_t>& order);

class DivergentBarrier : public std::runtime_error {
public:
    DivergentBarrier()
        : std::runtime_error(
              "host stand-in: __syncthreads reached by only part of a block (divergent barrier, a GPU would hang)") {}
};

uint3 thread_index_of(unsigned long long linear, const dim3& block);

// Runs blocks on the OS thread that owns it. Fibers never move to another OS thread.
class BlockScheduler {
public:
    void configure(const GridLaunch& launch);
    void run_block(unsigned long long linear_block);

    // Runs threads [first, last) of a block known to need no barrier and no shared memory
    // as a plain loop: such a block may be cut into pieces on different OS threads.
    void run_threads(unsigned long long linear_block, unsigned long long first, unsigned long long last);

    // Whether the last block ran without a barrier and never reached shared memory.
    bool block_was_independent() const { return plain_block_ && !touched_shared_; }

    void barrier();
    void* shared();

    // A block reaches a static shared array: every thread of the block gets the same
    // bytes, poisoned when the first of them arrives.
    void* static_shared(const void* site, size_t bytes, size_t alignment);

private:
    void run_fibers(unsigned long long threads);
    // The thread that runs i-th in the phase last arranged.
    unsigned long long thread_at(unsigned long long i, unsigned long long threads, unsigned long long phase) const {
        if (order_.shuffle) {
            return phase_order_[i];
        }
        return (phase % 2 == 1) ? threads - 1 - i : i;
    }
    void arrange_phase(unsigned long long threads, unsigned long long phase);
    void ensure_fibers(unsigned long long threads);
    void start_fiber(unsigned long long t);
    void resume(unsigned long long t);
    void set_block(unsigned long long linear_block);
    void rethrow_if_failed();

    static void trampoline();

    std::vector<std::unique_ptr<FiberStack>> stacks_;
    std::vector<Fiber> fibers_;
    unsigned long long indexed_threads_ = 0;  // the fibers' thread indices are for this many
    dim3 indexed_block_{0, 0, 0};             // threads of blocks of this shape
    SchedulerContext scheduler_context_;
    const std::function<void()>* body_ = nullptr;
    const void* kernel_ = nullptr;
    dim3 grid_{};
    dim3 block_{};
    size_t shared_bytes_ = 0;
    ThreadOrder order_;
    unsigned long long linear_block_ = 0;
    std::vector<uint32_t> phase_order_;
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

// The calling OS thread's scheduler.
BlockScheduler& scheduler();

}  // namespace hostcuda::detail
