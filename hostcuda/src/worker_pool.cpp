// The worker pool of the host stand-in. Read by g++ only.
#include "worker_pool.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace hostcuda::detail {

WorkerPool::WorkerPool() {
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

bool WorkerPool::try_run(const GridLaunch* launch, unsigned long long blocks, bool spread, bool split,
                         bool* independent) {
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

// When spreading, nobody starts on a block before every participant, the launching thread
// included, has reached this barrier, and its lock is taken by no one again during the
// grid. Otherwise a participant that takes a lock late (the start lock, or this one) after
// another finished its blocks and released that lock would order those blocks before its
// own, and ThreadSanitizer could not see a race between them.
void WorkerPool::begin_together() {
    std::unique_lock<std::mutex> lock(begin_mutex_);
    if (++begun_ == workers_ + 1) {
        begin_.notify_all();
        return;
    }
    begin_.wait(lock, [this] { return begun_ == workers_ + 1; });
}

void WorkerPool::worker_loop(unsigned participant) {
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
void WorkerPool::work(unsigned participant) {
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

WorkerPool& pool() {
    static WorkerPool* instance = new WorkerPool();  // never destroyed: workers live until exit
    return *instance;
}

}  // namespace hostcuda::detail
