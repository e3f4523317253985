// Host stand-in for kernel launches: checks a launch as a GPU does, queues it, and runs its
// grid on the block scheduler (block_scheduler.cpp) and the worker pool (worker_pool.cpp).
// Read by g++ only.
#include <cuda_runtime.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "block_scheduler.h"
#include "hostcuda_block_select.h"
#include "internal.h"
#include "worker_pool.h"

thread_local constinit uint3 threadIdx HOSTCUDA_STATIC_TLS{0, 0, 0};
thread_local constinit uint3 blockIdx HOSTCUDA_STATIC_TLS{0, 0, 0};
thread_local constinit dim3 blockDim HOSTCUDA_STATIC_TLS{1, 1, 1};
thread_local constinit dim3 gridDim HOSTCUDA_STATIC_TLS{1, 1, 1};

namespace hostcuda::detail {
namespace {

bool env_flag(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr && text[0] != '\0' && text[0] != '0';
}

// The thread order that QUORRA_HOSTCUDA_ORDER (alternate, the default, or shuffle) and
// QUORRA_HOSTCUDA_ORDER_SEED ask for; false, with `error` saying why, for a value it cannot
// use. Without a seed, a shuffled order takes one drawn once per process and says which on
// standard error, so a failing run can be repeated.
bool thread_order_from_environment(ThreadOrder& order, std::string& error) {
    const char* mode = std::getenv("QUORRA_HOSTCUDA_ORDER");
    order = ThreadOrder{};
    if (mode == nullptr || mode[0] == '\0' || std::strcmp(mode, "alternate") == 0) {
        return true;
    }
    if (std::strcmp(mode, "shuffle") != 0) {
        error = std::string("QUORRA_HOSTCUDA_ORDER=") + mode + " is neither alternate nor shuffle";
        return false;
    }
    order.shuffle = true;
    if (const char* text = std::getenv("QUORRA_HOSTCUDA_ORDER_SEED"); text != nullptr && text[0] != '\0') {
        char* end = nullptr;
        errno = 0;
        order.seed = std::strtoull(text, &end, 10);
        if (errno != 0 || *end != '\0' || text[0] == '-') {
            error = std::string("QUORRA_HOSTCUDA_ORDER_SEED=") + text + " is not a decimal number below 2^64";
            return false;
        }
        return true;
    }
    static const uint64_t drawn = [] {
        std::random_device device;
        const uint64_t seed = (static_cast<uint64_t>(device()) << 32) | device();
        std::fprintf(stderr, "host stand-in: threads run in shuffled order, QUORRA_HOSTCUDA_ORDER_SEED=%llu\n",
                     static_cast<unsigned long long>(seed));
        return seed;
    }();
    order.seed = drawn;
    return true;
}

// A set of kernels, learnt while running.
class KernelSet {
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

// Kernels seen to run every block without a barrier and without shared memory. Under the
// spread switch their blocks are cut into warps dealt out over the OS threads, so that two
// threads of one block that write one amplitude are a race ThreadSanitizer can see.
KernelSet& independent_kernels() {
    static KernelSet* instance = new KernelSet();
    return *instance;
}

// Kernels whose small grids go to the worker pool (hostcuda::spread_small_grids).
KernelSet& small_grid_kernels() {
    static KernelSet* instance = new KernelSet();
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
    } else if (blocks >= 2 && (threads >= (1ULL << 15) || small_grid_kernels().contains(launch.kernel))) {
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
}  // namespace hostcuda::detail

double atomicAdd(double* address, double value) {
    std::atomic_ref<double> target(*address);
    return target.fetch_add(value, std::memory_order_relaxed);
}

namespace hostcuda {

void spread_small_grids(const void* kernel) {
    if (!detail::small_grid_kernels().contains(kernel)) {
        detail::small_grid_kernels().add(kernel);
    }
}

void launch(dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream, std::function<void()> thread_body,
            std::vector<PointerArgument> pointers, const void* kernel) {
    cudaError_t config = detail::check_configuration(grid, block, dynamic_shared_bytes, stream);
    detail::ThreadOrder order;
    std::string order_error;
    if (config == cudaSuccess && !detail::thread_order_from_environment(order, order_error)) {
        std::fprintf(stderr, "host stand-in: launch refused: %s\n", order_error.c_str());
        config = cudaErrorInvalidValue;
    }
    if (config == cudaSuccess) {
        const size_t static_bytes = detail::static_shared_sizes().known(kernel);
        if (static_bytes + dynamic_shared_bytes > detail::kMaxShared) {
            std::fprintf(stderr, "host stand-in: launch refused: %s\n",
                         detail::shared_overflow_message(static_bytes, dynamic_shared_bytes).c_str());
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
    auto grid_launch = std::make_shared<detail::GridLaunch>(
        detail::GridLaunch{grid, block, dynamic_shared_bytes, kernel, std::move(thread_body), order});
    detail::enqueue(detail::Work{"kernel",
                                 [grid_launch, pointers = std::move(pointers)] {
                                     detail::check_pointer_arguments(pointers);
                                     detail::execute(*grid_launch);
                                 },
                                 std::move(uses)});
}

}  // namespace hostcuda
