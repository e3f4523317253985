// What the stand-in's units share: the per-device stream queue, the memory checks that
// queued work runs against, and the error that a failed piece of work reports.
// Read by g++ only, in the host build.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace hostcuda::detail {

void set_last_error(cudaError_t error);
int current_device();

// An execution error: the code a synchronising call reports for the work that failed.
class ExecutionError : public std::runtime_error {
public:
    ExecutionError(cudaError_t code, const std::string& message) : std::runtime_error(message), code_(code) {}
    cudaError_t code() const { return code_; }

private:
    cudaError_t code_;
};

struct Range {
    uintptr_t start;
    size_t size;
};

// One operation on a stream. `run` throws ExecutionError (or anything else, reported as a
// launch failure) when it fails; `uses` are the host or device bytes it still needs, so a
// host range cannot be unregistered under queued work.
struct Work {
    std::string what;
    std::function<void()> run;
    std::vector<Range> uses;
};

// Queues work on the current device's default stream, or runs it at once in immediate
// mode (QUORRA_HOSTCUDA_IMMEDIATE=1); either way its failure is reported by the next
// synchronising call.
void enqueue(Work work);

// Runs everything queued on the device; returns (and clears) the first execution error.
cudaError_t synchronize(int device);

// Whether work queued on any device still uses a byte of [start, start + size).
bool queued_work_uses(uintptr_t start, size_t size);

// Whether a kernel may dereference `ptr`: inside a live device allocation or a
// registered host range.
bool device_can_access(const void* ptr);

// Whether [ptr, ptr + count) lies in one live device allocation (count 0 counts as 1).
bool is_device_range(const void* ptr, size_t count);

}  // namespace hostcuda::detail
