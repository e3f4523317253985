// The DLPack exchange ABI (the C structs and capsule names that array libraries share) and
// the DeviceState members that export and import through it.
// Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik::dlpack {

enum DLDeviceType : int32_t { kDLCPU = 1, kDLCUDA = 2 };

struct DLDevice {
    DLDeviceType device_type;
    int32_t device_id;
};

enum DLDataTypeCode : uint8_t { kDLComplex = 5 };

struct DLDataType {
    uint8_t code;
    uint8_t bits;
    uint16_t lanes;
};

struct DLTensor {
    void* data;
    DLDevice device;
    int32_t ndim;
    DLDataType dtype;
    int64_t* shape;
    int64_t* strides;  // in elements; null means compact row-major
    uint64_t byte_offset;
};

// The legacy (unversioned) form, in a capsule named "dltensor".
struct DLManagedTensor {
    DLTensor dl_tensor;
    void* manager_ctx;
    void (*deleter)(DLManagedTensor* self);
};

struct DLPackVersion {
    uint32_t major;
    uint32_t minor;
};

constexpr uint64_t kFlagReadOnly = uint64_t{1} << 0;
constexpr uint64_t kFlagIsCopied = uint64_t{1} << 1;

// The 1.x form, in a capsule named "dltensor_versioned".
struct DLManagedTensorVersioned {
    DLPackVersion version;
    void* manager_ctx;
    void (*deleter)(DLManagedTensorVersioned* self);
    uint64_t flags;
    DLTensor dl_tensor;
};

constexpr const char* kCapsuleName = "dltensor";
constexpr const char* kUsedCapsuleName = "used_dltensor";
constexpr const char* kVersionedCapsuleName = "dltensor_versioned";
constexpr const char* kUsedVersionedCapsuleName = "used_dltensor_versioned";

// synchronize, __dlpack__, __dlpack_device__ and from_dlpack.
void bind_state_exchange(pybind11::class_<DeviceDensityState, std::shared_ptr<DeviceDensityState>>& cls);

}  // namespace quorra::dravik::dlpack
