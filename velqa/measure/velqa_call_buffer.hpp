// The owner of one device allocation made for a single call (probability tables, partial sums,
// matrices): freed on every path. Host C++ against the CUDA runtime (or its host stand-in).
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

#include "state/velqa_device_state.cuh"

namespace velqa {

// The destructor frees the allocation and ignores errors, for the paths where an exception is
// already on its way; free() is the checked release.
class CallBuffer {
public:
    explicit CallBuffer(size_t bytes) {
        void* ptr = nullptr;
        check_cuda(cudaMalloc(&ptr, bytes));
        ptr_ = ptr;
    }
    ~CallBuffer() {
        if (ptr_ != nullptr) {
            (void)cudaFree(ptr_);
        }
    }
    CallBuffer(const CallBuffer&) = delete;
    CallBuffer& operator=(const CallBuffer&) = delete;

    void free() {
        void* ptr = ptr_;
        ptr_ = nullptr;
        check_cuda(cudaFree(ptr));
    }
    template <typename U>
    U* as() const {
        return static_cast<U*>(ptr_);
    }

private:
    void* ptr_ = nullptr;
};

}  // namespace velqa
