// The temporary device copy of a NumPy state that the NumPy entry points share. Host C++ with pybind11.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

#include "state/velqa_device_state.cuh"

namespace velqa {

// A caller's NumPy state copied into a temporary DeviceState for one call.
struct HostStateCopy {
    pybind11::buffer_info view;  // the caller's buffer
    std::unique_ptr<DeviceState> device;
    bool use_pinned_host = false;

    // Copies the device state back over the caller's buffer (waits for all queued work).
    void write_back() const;
};

// In this order: the array is writable ("state array must be writable"), 1-D, C-contiguous,
// n in [1, 62], 2**n elements; the endian text; the device text, then the dtype. Then
// allocates the temporary state and uploads the array into it (interpreter lock held).
HostStateCopy copy_host_state_to_device(int64_t n, const pybind11::array& state, const std::string& endian,
                                        const std::string& device, bool use_pinned_host);

}  // namespace velqa
