// Host stand-in for stream order: each device's default stream is a queue of launches,
// asynchronous copies and sets (and cuBLAS calls) that runs only when a call waits for it,
// so code that reads a result before synchronising fails here as it may on a GPU.
// Read by g++ only.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "internal.h"

namespace hostcuda {

namespace {

// The legacy default stream of one device, shared by every host thread as on a GPU.
struct DeviceQueue {
    std::mutex mutex;  // guards items and pending
    std::deque<detail::Work> items;
    cudaError_t pending = cudaSuccess;
    std::mutex run_mutex;  // one runner at a time keeps the stream's order
};

struct Queues {
    std::mutex mutex;
    std::map<int, std::unique_ptr<DeviceQueue>> by_device;
};

Queues& queues() {
    static Queues* instance = new Queues();  // worker threads may still use it at exit
    return *instance;
}

DeviceQueue& queue_of(int device) {
    Queues& all = queues();
    std::lock_guard<std::mutex> lock(all.mutex);
    std::unique_ptr<DeviceQueue>& queue = all.by_device[device];
    if (!queue) {
        queue = std::make_unique<DeviceQueue>();
    }
    return *queue;
}

bool immediate_mode() {
    const char* text = std::getenv("QUORRA_HOSTCUDA_IMMEDIATE");
    return text != nullptr && text[0] != '\0' && text[0] != '0';
}

std::mutex failure_mutex;
std::string last_failure;

void report_failure(const std::string& what, const std::string& message) {
    const std::string text = "host stand-in: " + what + " failed: " + message;
    {
        std::lock_guard<std::mutex> lock(failure_mutex);
        last_failure = text;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
}

// Runs the queue in order. After a failure the device runs nothing more until a
// synchronising call has reported the error (a GPU context would be lost by then).
void run_queue(DeviceQueue& queue) {
    std::lock_guard<std::mutex> runner(queue.run_mutex);
    for (;;) {
        detail::Work work;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            if (queue.items.empty()) {
                return;
            }
            work = std::move(queue.items.front());
            queue.items.pop_front();
            if (queue.pending != cudaSuccess) {
                continue;
            }
        }
        cudaError_t failure = cudaSuccess;
        try {
            work.run();
        } catch (const detail::ExecutionError& error) {
            failure = error.code();
            report_failure(work.what, error.what());
        } catch (const std::exception& error) {
            failure = cudaErrorLaunchFailure;
            report_failure(work.what, error.what());
        } catch (...) {
            failure = cudaErrorLaunchFailure;
            report_failure(work.what, "unknown exception");
        }
        if (failure != cudaSuccess) {
            std::lock_guard<std::mutex> lock(queue.mutex);
            queue.pending = failure;
        }
    }
}

}  // namespace

std::string last_execution_failure() {
    std::lock_guard<std::mutex> lock(failure_mutex);
    return last_failure;
}

size_t queued_work_count() {
    Queues& all = queues();
    std::lock_guard<std::mutex> lock(all.mutex);
    size_t count = 0;
    for (auto& entry : all.by_device) {
        std::lock_guard<std::mutex> queue_lock(entry.second->mutex);
        count += entry.second->items.size();
    }
    return count;
}

namespace detail {

void enqueue(Work work) {
    DeviceQueue& queue = queue_of(current_device());
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.items.push_back(std::move(work));
    }
    if (immediate_mode()) {
        run_queue(queue);
    }
}

cudaError_t synchronize(int device) {
    DeviceQueue& queue = queue_of(device);
    run_queue(queue);
    std::lock_guard<std::mutex> lock(queue.mutex);
    const cudaError_t error = queue.pending;
    queue.pending = cudaSuccess;
    return error;
}

bool queued_work_uses(uintptr_t start, size_t size) {
    Queues& all = queues();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (auto& entry : all.by_device) {
        std::lock_guard<std::mutex> queue_lock(entry.second->mutex);
        for (const Work& work : entry.second->items) {
            for (const Range& used : work.uses) {
                if (used.start < start + size && start < used.start + used.size) {
                    return true;
                }
            }
        }
    }
    return false;
}

}  // namespace detail

}  // namespace hostcuda
