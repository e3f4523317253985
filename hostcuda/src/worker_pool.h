// The worker pool of the host stand-in: spreads the blocks (or the warps) of one grid over
// OS threads, each with its own block scheduler. Read by g++ only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "block_scheduler.h"

namespace hostcuda::detail {

constexpr unsigned long long kWarp = 32;

// One grid at a time is spread over a pool of worker threads; the launching thread
// works too. A launch from a second thread while the pool is busy runs serially.
class WorkerPool {
public:
    WorkerPool();

    // `spread` deals the blocks out round-robin, so neighbouring blocks always run on
    // different OS threads; otherwise threads take the next block as they become free.
    // With `split`, the units dealt out are warps of blocks known to be independent.
    // `independent` receives whether every block ran as independent threads.
    bool try_run(const GridLaunch* launch, unsigned long long blocks, bool spread, bool split, bool* independent);

private:
    void begin_together();
    void worker_loop(unsigned participant);
    void work(unsigned participant);

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

// The process's pool, started at its first use.
WorkerPool& pool();

}  // namespace hostcuda::detail
