// Host stand-in for the CUDA runtime: read by g++ only, in the host build.
// It lets the .cu units of both modules compile and run on a CPU. "Device" memory
// is host memory tracked in a registry; launches, asynchronous copies and sets wait on
// their stream until a call synchronises with it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

struct float2 {
    float x, y;
};
struct double2 {
    double x, y;
};

// The enumerations have a fixed underlying type so that any code a caller converts
// (an unknown error, a bad copy kind) is a valid value the stand-in can reject.
enum cudaError_t : int {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorHostMemoryAlreadyRegistered = 712,
    cudaErrorIllegalAddress = 700,
    cudaErrorHostMemoryNotRegistered = 713,
    cudaErrorLaunchFailure = 719,
};
typedef enum cudaError_t cudaError;

enum cudaMemcpyKind : int {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

typedef struct CUstream_st* cudaStream_t;

#define cudaHostRegisterDefault 0x00

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaMalloc(void** ptr, size_t size);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream = 0);
cudaError_t cudaMemset(void* ptr, int value, size_t count);
cudaError_t cudaMemsetAsync(void* ptr, int value, size_t count, cudaStream_t stream = 0);
cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);

template <typename T>
inline cudaError_t cudaMalloc(T** ptr, size_t size) {
    return cudaMalloc(reinterpret_cast<void**>(ptr), size);
}

// Built-in variables of the running thread; the scheduler sets them per thread.
// constinit tells every reader that they need no dynamic initialisation, so an access
// is a plain thread-local load rather than a call through a TLS wrapper (which also
// trips GCC 12's UBSan null check with a false report).
// They are in the static TLS block (initial-exec), so a read is one load relative to the
// thread pointer rather than a call to __tls_get_addr: kernels and the scheduler read them
// at every thread switch.
#define HOSTCUDA_STATIC_TLS __attribute__((tls_model("initial-exec")))
extern thread_local constinit uint3 threadIdx HOSTCUDA_STATIC_TLS;
extern thread_local constinit uint3 blockIdx HOSTCUDA_STATIC_TLS;
extern thread_local constinit dim3 blockDim HOSTCUDA_STATIC_TLS;
extern thread_local constinit dim3 gridDim HOSTCUDA_STATIC_TLS;

void __syncthreads();
double atomicAdd(double* address, double value);

// Integer intrinsics with the device's results (__clz(0) is 32). The bit count is spelled
// out: without a popcount instruction in the target, the builtin is a library call.
inline int __popc(unsigned int x) {
    x = x - ((x >> 1) & 0x55555555U);
    x = (x & 0x33333333U) + ((x >> 2) & 0x33333333U);
    return static_cast<int>((((x + (x >> 4)) & 0x0f0f0f0fU) * 0x01010101U) >> 24);
}
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(static_cast<unsigned int>(x)); }

namespace hostcuda {

// A pointer argument of a launch, checked when the kernel runs: it must be null, inside a
// live device allocation or inside a registered host range.
struct PointerArgument {
    const void* pointer;
    unsigned index;  // the kernel parameter it came from, for the message
};

// Queues a kernel on the stream: `thread_body` runs once per thread of the grid, with the
// built-ins set, when a call synchronises with the stream (at once in immediate mode). A
// bad configuration queues nothing and sets the last error; a pointer argument the device
// cannot read, an exception thrown by a thread or a divergent barrier is an execution
// error, reported by the next synchronising call. `kernel` identifies the kernel.
void launch(dim3 grid, dim3 block, size_t dynamic_shared_bytes, cudaStream_t stream, std::function<void()> thread_body,
            std::vector<PointerArgument> pointers, const void* kernel);

// From now on, grids of `kernel` with two or more blocks run on the worker threads however
// few threads they have (others only from 2^15 threads): for kernels whose host geometry
// gives a few threads long runs each. Where blocks run changes, never what they compute.
void spread_small_grids(const void* kernel);

// The running block's dynamic shared memory (`extern __shared__` in CUDA).
void* dynamic_shared_memory();

// The running block's copy of the static shared array declared at `site`
// (QUORRA_SHARED_ARRAY): poisoned when the block first reaches it.
void* static_shared_memory(const void* site, size_t bytes, size_t alignment);

// Lets device code, copies and memsets use [ptr, ptr + size) of a caller's host memory as
// memory of `device` (an array imported from another library) until release_device_view
// of the same ptr. The stand-in never frees that memory. A range inside device memory is
// accepted as it is; each view is counted. A partial overlap with device memory or with a
// page-locked range: cudaErrorHostMemoryAlreadyRegistered.
cudaError_t register_device_view(void* ptr, size_t size, int device);
// Ends one view of the range holding ptr; the last view of an external range removes it.
// Refused while queued work still uses the range (synchronise first).
cudaError_t release_device_view(void* ptr);

// Live "device" bytes over all devices (caller ranges excluded), for leak checks in tests.
// allocation_count() counts the caller ranges registered as views too.
size_t allocated_bytes();
size_t allocation_count();
// The most allocated_bytes() has been since the process started or the last reset (which
// starts again from the bytes live now), so a test can bound a path's device memory.
size_t peak_allocated_bytes();
void reset_peak_allocated_bytes();

// Operations queued on all streams and not yet run.
size_t queued_work_count();

// The message of the latest execution error (empty if none yet), for tests.
std::string last_execution_failure();

// Bytes every fresh allocation is filled with: NaN as float and as double.
constexpr unsigned char kPoisonByte = 0xFF;

// Static plus dynamic shared memory a block may use, as on a GPU without opt-in.
constexpr size_t kMaxSharedBytes = 48 * 1024;

}  // namespace hostcuda
