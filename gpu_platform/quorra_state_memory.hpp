// How a device state lets go of its elements, for both modules' state classes.
// Host C++ against the CUDA runtime (or the host stand-in), compiled into each module.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <memory>

namespace quorra {

// A view (keep_alive set) waits for the queued work that may still use the producer's memory
// and then drops its hold, since the producer may free it at once; owned memory is freed
// (cudaFree waits the same way). Leaves data null either way.
inline void release_state_memory(void*& data, std::shared_ptr<void>& keep_alive, int32_t device_id) noexcept {
    if (keep_alive) {
        (void)cudaSetDevice(device_id);
        (void)cudaDeviceSynchronize();
        data = nullptr;
        keep_alive.reset();
    } else if (data != nullptr) {
        (void)cudaSetDevice(device_id);
        (void)cudaFree(data);
        data = nullptr;
    }
}

}  // namespace quorra
