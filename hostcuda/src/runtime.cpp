// Host stand-in for the CUDA runtime: devices, memory registry, copies, errors.
// Read by g++ only, in the host build.
#include <cuda_runtime.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "guard_pages.h"
#include "internal.h"

namespace {

thread_local cudaError_t tls_last_error = cudaSuccess;
thread_local int tls_current_device = 0;

cudaError_t record(cudaError_t status) {
    if (status != cudaSuccess) {
        tls_last_error = status;
    }
    return status;
}

long long env_integer(const char* name, long long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return (end != nullptr && *end == '\0' && value >= 0) ? value : fallback;
}

int device_count() { return static_cast<int>(env_integer("QUORRA_HOSTCUDA_DEVICES", 1)); }

// Emulated memory per device; by default the machine's physical memory, so a state
// that could never fit fails as an allocation error instead of being overcommitted.
size_t memory_limit() {
    const long long pages = sysconf(_SC_PHYS_PAGES);
    const long long page_size = sysconf(_SC_PAGE_SIZE);
    const long long physical = (pages > 0 && page_size > 0) ? pages * page_size : (1LL << 34);
    return static_cast<size_t>(env_integer("QUORRA_HOSTCUDA_MEMORY_LIMIT", physical));
}

// A device allocation: the requested bytes start 256-byte aligned and end less than 256
// bytes before an inaccessible guard page; the slack in between stays poisoned.
struct Allocation {
    size_t size;     // requested bytes
    size_t rounded;  // size rounded up to 256: the bytes before the guard page
    int device;
    void* mapping;
    size_t mapping_bytes;  // data pages plus the guard page
    // Views registered over this range (register_device_view); an external range is a
    // caller's host memory that the stand-in treats as device memory but never frees.
    size_t views = 0;
    bool external = false;
};

struct Registry {
    std::mutex mutex;
    std::map<uintptr_t, Allocation> device;  // start address -> allocation
    std::map<uintptr_t, size_t> host;        // registered host ranges
    size_t live_bytes = 0;
    size_t peak_bytes = 0;  // the most live_bytes has been since the last reset
};

Registry& registry() {
    static Registry instance;
    return instance;
}

// The allocation that holds every byte of [ptr, ptr + max(count, 1)), or nullptr.
// Caller holds the lock.
const Allocation* find_device_range(const Registry& reg, const void* ptr, size_t count) {
    const auto address = reinterpret_cast<uintptr_t>(ptr);
    auto it = reg.device.upper_bound(address);
    if (it == reg.device.begin()) {
        return nullptr;
    }
    --it;
    const uintptr_t offset = address - it->first;
    if (offset >= it->second.size || count > it->second.size - offset) {
        return nullptr;
    }
    return &it->second;
}

bool is_device_pointer(const Registry& reg, const void* ptr) { return find_device_range(reg, ptr, 0) != nullptr; }

bool is_registered_host(const Registry& reg, const void* ptr) {
    const auto address = reinterpret_cast<uintptr_t>(ptr);
    auto it = reg.host.upper_bound(address);
    if (it == reg.host.begin()) {
        return false;
    }
    --it;
    return address - it->first < it->second;
}

using hostcuda::detail::forget_guard_page;
using hostcuda::detail::map_guarded;
using hostcuda::detail::page_size;

// A write past the requested end that stayed before the guard page changed the slack. The
// error is memory corruption, and the frees that find it are often in destructors that
// cannot report it: stop the process with a message that names it, as a heap check would.
void check_slack(const void* data, const Allocation& allocation) {
    const auto* slack = static_cast<const unsigned char*>(data) + allocation.size;
    for (size_t i = 0; i < allocation.rounded - allocation.size; ++i) {
        if (slack[i] != hostcuda::kPoisonByte) {
            std::fprintf(stderr,
                         "host stand-in: write past the end of a device allocation: byte %zu after the %zu requested "
                         "bytes at %p was changed (found at cudaFree)\n",
                         i, allocation.size, data);
            std::abort();
        }
    }
}

// A copy kind and its pointers: is each side where the kind says? Caller holds the lock.
cudaError_t check_copy(const Registry& reg, void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    const bool dst_device = is_device_pointer(reg, dst);
    const bool src_device = is_device_pointer(reg, src);
    bool want_dst_device = false;
    bool want_src_device = false;
    switch (kind) {
        case cudaMemcpyHostToHost:
            break;
        case cudaMemcpyHostToDevice:
            want_dst_device = true;
            break;
        case cudaMemcpyDeviceToHost:
            want_src_device = true;
            break;
        case cudaMemcpyDeviceToDevice:
            want_dst_device = want_src_device = true;
            break;
        case cudaMemcpyDefault:
            want_dst_device = dst_device;
            want_src_device = src_device;
            break;
        default:
            return cudaErrorInvalidMemcpyDirection;
    }
    if (dst_device != want_dst_device || src_device != want_src_device) {
        return cudaErrorInvalidValue;
    }
    if ((dst_device && find_device_range(reg, dst, count) == nullptr) ||
        (src_device && find_device_range(reg, src, count) == nullptr)) {
        return cudaErrorInvalidValue;
    }
    return cudaSuccess;
}

cudaError_t validate_copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (dst == nullptr || src == nullptr) {
        return cudaErrorInvalidValue;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return check_copy(reg, dst, src, count, kind);
}

cudaError_t validate_set(void* ptr, size_t count) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return find_device_range(reg, ptr, count) == nullptr ? cudaErrorInvalidValue : cudaSuccess;
}

hostcuda::detail::Range range_of(const void* ptr, size_t count) {
    return hostcuda::detail::Range{reinterpret_cast<uintptr_t>(ptr), count};
}

}  // namespace

cudaError_t cudaGetDeviceCount(int* count) {
    if (count == nullptr) {
        return record(cudaErrorInvalidValue);
    }
    *count = device_count();
    return *count > 0 ? cudaSuccess : record(cudaErrorNoDevice);
}

cudaError_t cudaSetDevice(int device) {
    if (device_count() == 0) {
        return record(cudaErrorNoDevice);
    }
    if (device < 0 || device >= device_count()) {
        return record(cudaErrorInvalidDevice);
    }
    tls_current_device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (device == nullptr) {
        return record(cudaErrorInvalidValue);
    }
    *device = tls_current_device;
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** ptr, size_t size) {
    if (ptr == nullptr) {
        return record(cudaErrorInvalidValue);
    }
    *ptr = nullptr;
    if (size == 0) {
        return cudaSuccess;  // as the runtime: a null pointer and success
    }
    // 256-byte alignment, as cudaMalloc guarantees.
    if (size > SIZE_MAX - 2 * page_size()) {
        return record(cudaErrorMemoryAllocation);
    }
    const size_t rounded = (size + 255) / 256 * 256;
    Registry& reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    // The limit check and the registration happen under one lock, so two threads
    // cannot both pass the check and together exceed the limit.
    size_t on_device = 0;
    for (const auto& entry : reg.device) {
        if (entry.second.device == tls_current_device && !entry.second.external) {
            on_device += entry.second.size;
        }
    }
    const size_t limit = memory_limit();
    if (size > limit || on_device > limit - size) {
        return record(cudaErrorMemoryAllocation);
    }
    Allocation allocation{size, rounded, tls_current_device, nullptr, 0};
    void* memory = map_guarded(rounded, &allocation.mapping, &allocation.mapping_bytes);
    if (memory == nullptr) {
        return record(cudaErrorMemoryAllocation);
    }
    reg.device[reinterpret_cast<uintptr_t>(memory)] = allocation;
    reg.live_bytes += size;
    reg.peak_bytes = std::max(reg.peak_bytes, reg.live_bytes);
    lock.unlock();
    std::memset(memory, hostcuda::kPoisonByte, rounded);
    *ptr = memory;
    return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
    if (ptr == nullptr) {
        return cudaSuccess;
    }
    Registry& reg = registry();
    int device = 0;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        const auto it = reg.device.find(reinterpret_cast<uintptr_t>(ptr));
        if (it == reg.device.end() || it->second.external) {
            return record(cudaErrorInvalidValue);  // unknown pointer, double free, or a caller's memory
        }
        device = it->second.device;
    }
    // As on a GPU, cudaFree waits for the device, so queued work never reads freed memory.
    cudaError_t status = hostcuda::detail::synchronize(device);
    if (device != tls_current_device) {
        const cudaError_t current = hostcuda::detail::synchronize(tls_current_device);
        status = status != cudaSuccess ? status : current;
    }
    Allocation allocation{};
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        const auto it = reg.device.find(reinterpret_cast<uintptr_t>(ptr));
        if (it == reg.device.end()) {
            return record(cudaErrorInvalidValue);  // freed by another thread meanwhile
        }
        allocation = it->second;
        reg.live_bytes -= allocation.size;
        reg.device.erase(it);
    }
    check_slack(ptr, allocation);
    forget_guard_page(reinterpret_cast<uintptr_t>(allocation.mapping) + allocation.mapping_bytes - page_size());
    munmap(allocation.mapping, allocation.mapping_bytes);
    // An execution error of the work it waited for is reported here; the memory is freed.
    return record(status);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (count == 0) {
        return cudaSuccess;
    }
    const cudaError_t invalid = validate_copy(dst, src, count, kind);
    if (invalid != cudaSuccess) {
        return record(invalid);
    }
    // Between two device ranges the runtime only queues the copy, as a GPU does: the host
    // does not wait for it, or for the work before it.
    if (hostcuda::detail::is_device_range(dst, count) && hostcuda::detail::is_device_range(src, count)) {
        return cudaMemcpyAsync(dst, src, count, kind, nullptr);
    }
    // A synchronous copy waits for the work queued before it.
    const cudaError_t failed = hostcuda::detail::synchronize(tls_current_device);
    if (failed != cudaSuccess) {
        return record(failed);
    }
    std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
    if (stream != nullptr) {
        return record(cudaErrorInvalidResourceHandle);  // only the default stream exists here
    }
    if (count == 0) {
        return cudaSuccess;
    }
    const cudaError_t invalid = validate_copy(dst, src, count, kind);
    if (invalid != cudaSuccess) {
        return record(invalid);
    }
    // Until the copy has run, a host destination holds nothing the caller may read. The
    // runtime may copy pageable memory synchronously, but it does not promise to.
    std::vector<hostcuda::detail::Range> uses{range_of(dst, count), range_of(src, count)};
    if (!hostcuda::detail::is_device_range(dst, count)) {
        std::memset(dst, hostcuda::kPoisonByte, count);
    }
    hostcuda::detail::enqueue(hostcuda::detail::Work{
        "cudaMemcpyAsync", [dst, src, count] { std::memmove(dst, src, count); }, std::move(uses)});
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, size_t count) {
    if (count == 0) {
        return cudaSuccess;
    }
    const cudaError_t invalid = validate_set(ptr, count);
    if (invalid != cudaSuccess) {
        return record(invalid);
    }
    const cudaError_t failed = hostcuda::detail::synchronize(tls_current_device);
    if (failed != cudaSuccess) {
        return record(failed);
    }
    std::memset(ptr, value, count);
    return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t count, cudaStream_t stream) {
    if (stream != nullptr) {
        return record(cudaErrorInvalidResourceHandle);
    }
    if (count == 0) {
        return cudaSuccess;
    }
    const cudaError_t invalid = validate_set(ptr, count);
    if (invalid != cudaSuccess) {
        return record(invalid);
    }
    hostcuda::detail::enqueue(hostcuda::detail::Work{
        "cudaMemsetAsync", [ptr, value, count] { std::memset(ptr, value, count); }, {range_of(ptr, count)}});
    return cudaSuccess;
}

cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int flags) {
    if (ptr == nullptr || size == 0 || flags > 0x0f) {
        return record(cudaErrorInvalidValue);
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (is_device_pointer(reg, ptr)) {
        return record(cudaErrorInvalidValue);
    }
    const auto start = reinterpret_cast<uintptr_t>(ptr);
    if (size > UINTPTR_MAX - start) {
        return record(cudaErrorInvalidValue);  // the range would wrap around the address space
    }
    // Any overlap with a registered range is refused.
    auto it = reg.host.upper_bound(start);
    if (it != reg.host.end() && it->first < start + size) {
        return record(cudaErrorHostMemoryAlreadyRegistered);
    }
    if (it != reg.host.begin()) {
        --it;
        if (it->first + it->second > start) {
            return record(cudaErrorHostMemoryAlreadyRegistered);
        }
    }
    reg.host[start] = size;
    return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const auto it = reg.host.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == reg.host.end()) {
        return record(cudaErrorHostMemoryNotRegistered);
    }
    // On a GPU, queued work would then read or write memory that is no longer pinned.
    if (hostcuda::detail::queued_work_uses(it->first, it->second)) {
        std::fprintf(stderr,
                     "host stand-in: cudaHostUnregister(%p) while queued work still uses the range; synchronise the "
                     "stream first\n",
                     ptr);
        return record(cudaErrorInvalidValue);
    }
    reg.host.erase(it);
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    if (stream != nullptr) {
        return record(cudaErrorInvalidResourceHandle);
    }
    return record(hostcuda::detail::synchronize(tls_current_device));
}

cudaError_t cudaDeviceSynchronize() { return record(hostcuda::detail::synchronize(tls_current_device)); }

cudaError_t cudaGetLastError() {
    const cudaError_t error = tls_last_error;
    tls_last_error = cudaSuccess;
    return error;
}

cudaError_t cudaPeekAtLastError() { return tls_last_error; }

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess:
            return "no error";
        case cudaErrorInvalidValue:
            return "invalid argument";
        case cudaErrorMemoryAllocation:
            return "out of memory";
        case cudaErrorInvalidConfiguration:
            return "invalid configuration argument";
        case cudaErrorInvalidDevicePointer:
            return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection:
            return "invalid copy direction for memcpy";
        case cudaErrorNoDevice:
            return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice:
            return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle:
            return "invalid resource handle";
        case cudaErrorHostMemoryAlreadyRegistered:
            return "part or all of the requested memory range is already mapped";
        case cudaErrorIllegalAddress:
            return "an illegal memory access was encountered";
        case cudaErrorHostMemoryNotRegistered:
            return "pointer does not correspond to a registered memory region";
        case cudaErrorLaunchFailure:
            return "unspecified launch failure";
    }
    return "unrecognized error code";
}

namespace hostcuda {

namespace detail {

void set_last_error(cudaError_t error) { record(error); }

int current_device() { return tls_current_device; }

bool device_can_access(const void* ptr) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return is_device_pointer(reg, ptr) || is_registered_host(reg, ptr);
}

bool is_device_range(const void* ptr, size_t count) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return find_device_range(reg, ptr, count) != nullptr;
}

}  // namespace detail

cudaError_t register_device_view(void* ptr, size_t size, int device) {
    if (ptr == nullptr || size == 0) {
        return record(cudaErrorInvalidValue);
    }
    if (device < 0 || device >= device_count()) {
        return record(cudaErrorInvalidDevice);
    }
    const auto start = reinterpret_cast<uintptr_t>(ptr);
    if (size > UINTPTR_MAX - start) {
        return record(cudaErrorInvalidValue);
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    // Already device memory (a state's own allocation exported and imported again, or a
    // second view of the same range): count the view so the range outlives it.
    if (const Allocation* holder = find_device_range(reg, ptr, size)) {
        ++const_cast<Allocation*>(holder)->views;
        return cudaSuccess;
    }
    // A partial overlap with device memory or a page-locked range would make one byte
    // two kinds of memory; refuse it.
    auto it = reg.device.upper_bound(start);
    const bool overlaps_next = it != reg.device.end() && it->first < start + size;
    const bool overlaps_previous =
        it != reg.device.begin() && std::prev(it)->first + std::prev(it)->second.size > start;
    auto host = reg.host.upper_bound(start);
    const bool overlaps_host = (host != reg.host.end() && host->first < start + size) ||
                               (host != reg.host.begin() && std::prev(host)->first + std::prev(host)->second > start);
    if (overlaps_next || overlaps_previous || overlaps_host) {
        return record(cudaErrorHostMemoryAlreadyRegistered);
    }
    reg.device[start] = Allocation{size, size, device, nullptr, 0, 1, true};
    return cudaSuccess;
}

cudaError_t release_device_view(void* ptr) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const auto address = reinterpret_cast<uintptr_t>(ptr);
    auto it = reg.device.upper_bound(address);
    if (it == reg.device.begin()) {
        return record(cudaErrorHostMemoryNotRegistered);
    }
    --it;
    if (address - it->first >= it->second.size || it->second.views == 0) {
        return record(cudaErrorHostMemoryNotRegistered);
    }
    // As for cudaHostUnregister: the caller's memory may be gone right after this.
    if (it->second.views == 1 && it->second.external &&
        hostcuda::detail::queued_work_uses(it->first, it->second.size)) {
        std::fprintf(stderr,
                     "host stand-in: release_device_view(%p) while queued work still uses the range; synchronise "
                     "the stream first\n",
                     ptr);
        return record(cudaErrorInvalidValue);
    }
    if (--it->second.views == 0 && it->second.external) {
        reg.device.erase(it);
    }
    return cudaSuccess;
}

size_t allocated_bytes() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.live_bytes;
}

size_t peak_allocated_bytes() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.peak_bytes;
}

void reset_peak_allocated_bytes() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.peak_bytes = reg.live_bytes;
}

size_t allocation_count() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.device.size();
}

}  // namespace hostcuda
