// The DLPack exchange of both modules' states with other array libraries: the C structs and
// capsule names that array libraries share, export as a capsule that shares the state's
// allocation, and import as a view of a producer's memory. A module supplies a small traits
// struct (its state type, name, shape, copy and view constructor) and calls
// bind_dlpack_exchange; everything else is the same for a vector and a matrix.
// Host C++ with pybind11, compiled into each module's bindings.
#pragma once

#include <cuda_runtime.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace quorra::dlpack {

namespace py = pybind11;

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

namespace detail {

// The host build keeps "device" memory in host memory, so its arrays are CPU arrays to
// other libraries; the stand-in registers imported ones as device memory.
#if QUORRA_HOST_BUILD
constexpr DLDeviceType kStateDeviceType = kDLCPU;
#else
constexpr DLDeviceType kStateDeviceType = kDLCUDA;
#endif
constexpr bool kCpuExchange = kStateDeviceType == kDLCPU;

inline std::string text_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

inline std::string shape_text(const DLTensor& tensor) {
    std::string text = "(";
    for (int32_t i = 0; i < tensor.ndim; ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(tensor.shape[i]);
    }
    return text + (tensor.ndim == 1 ? ",)" : ")");
}

// Keeps a pending Python error aside while a deleter runs, which may call into Python.
// (PyErr_Fetch rather than the 3.12 call: the module must still load far enough in
// another interpreter to report the version mismatch.)
class PendingError {
public:
    PendingError() { PyErr_Fetch(&type_, &value_, &trace_); }
    ~PendingError() { PyErr_Restore(type_, value_, trace_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* trace_ = nullptr;
};

// ---- export -----------------------------------------------------------------------------

// Everything a capsule hands out; the shared owner keeps the state's allocation alive until
// the consumer's deleter runs, whatever happens to the Python object meanwhile.
template <typename State>
struct ExportContext {
    std::shared_ptr<State> owner;
    int64_t shape[2] = {0, 0};
    int64_t strides[2] = {0, 0};
    DLManagedTensor legacy{};
    DLManagedTensorVersioned versioned{};
};

template <typename State, typename Managed>
void delete_export(Managed* managed) {
    delete static_cast<ExportContext<State>*>(managed->manager_ctx);
}

// A consumer renames the capsule to "used_..." when it takes the tensor; only a capsule that
// nobody took still owns it.
template <typename Managed>
void destroy_unconsumed(PyObject* capsule) {
    const char* name = std::is_same_v<Managed, DLManagedTensorVersioned> ? kVersionedCapsuleName : kCapsuleName;
    if (PyCapsule_IsValid(capsule, name) == 0) {
        return;
    }
    const PendingError pending;
    auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, name));
    if (managed != nullptr && managed->deleter != nullptr) {
        managed->deleter(managed);
    }
}

template <typename Traits>
py::object make_capsule(std::shared_ptr<typename Traits::State> owner, bool versioned, bool copied) {
    using State = typename Traits::State;
    auto context = std::make_unique<ExportContext<State>>();
    Traits::describe(*owner, context->shape, context->strides);
    const DLDevice device{kStateDeviceType, kCpuExchange ? 0 : owner->device_id()};
    const DLDataType dtype{kDLComplex, static_cast<uint8_t>(8 * Traits::element_bytes(*owner)), 1};
    const DLTensor tensor{owner->data(), device, Traits::kDimensions, dtype, context->shape, context->strides, 0};
    context->owner = std::move(owner);
    PyObject* capsule = nullptr;
    if (versioned) {
        context->versioned = DLManagedTensorVersioned{DLPackVersion{1, 0}, context.get(),
                                                      &delete_export<State, DLManagedTensorVersioned>,
                                                      copied ? kFlagIsCopied : 0, tensor};
        capsule =
            PyCapsule_New(&context->versioned, kVersionedCapsuleName, &destroy_unconsumed<DLManagedTensorVersioned>);
    } else {
        context->legacy = DLManagedTensor{tensor, context.get(), &delete_export<State, DLManagedTensor>};
        capsule = PyCapsule_New(&context->legacy, kCapsuleName, &destroy_unconsumed<DLManagedTensor>);
    }
    if (capsule == nullptr) {
        throw py::error_already_set();
    }
    context.release();  // the capsule, then the consumer, owns it now
    return py::reinterpret_steal<py::object>(capsule);
}

inline std::pair<int64_t, int64_t> int_pair(const py::object& value, const char* what) {
    try {
        if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
            return value.cast<std::pair<int64_t, int64_t>>();
        }
    } catch (const py::cast_error&) {
    }
    throw std::invalid_argument(std::string(what) + " must be a pair of ints, got: " + text_of(value));
}

// Whether the work queued on the state has to finish before the capsule is handed out.
inline bool export_waits(const py::object& stream) {
    if (kCpuExchange) {
        if (!stream.is_none()) {
            throw std::invalid_argument("stream must be None for a state exported to the CPU, got: " + text_of(stream));
        }
        return true;  // a CPU consumer has no stream to order after the queued work
    }
    if (stream.is_none()) {
        return false;  // the legacy default stream, where the work already is
    }
    if (!py::isinstance<py::int_>(stream) || py::isinstance<py::bool_>(stream)) {
        throw std::invalid_argument("stream must be None or an int, got: " + text_of(stream));
    }
    const auto value = stream.cast<long long>();
    if (value == 0) {
        throw std::invalid_argument(
            "stream 0 is ambiguous: pass 1 for the legacy default stream, 2 for the per-thread default stream, "
            "or a stream handle");
    }
    if (value < -1) {
        throw std::invalid_argument("stream must be -1, 1, 2 or a stream handle, got: " + text_of(stream));
    }
    // -1 asks for no ordering and 1 is the legacy default stream itself; any other stream
    // may not wait for the legacy one, so the queued work is waited for here.
    return value >= 2;
}

template <typename Traits>
py::object export_state(const std::shared_ptr<typename Traits::State>& self, const py::object& stream,
                        const py::object& max_version, const py::object& dl_device, const py::object& copy) {
    const bool wait = export_waits(stream);
    const bool versioned = !max_version.is_none() && int_pair(max_version, "max_version").first >= 1;
    if (!dl_device.is_none()) {
        const auto [type, id] = int_pair(dl_device, "dl_device");
        const int64_t own_id = kCpuExchange ? 0 : self->device_id();
        if (type != kStateDeviceType || id != own_id) {
            throw py::buffer_error(std::string(Traits::kStateName) + " is on DLPack device (" +
                                   std::to_string(kStateDeviceType) + ", " + std::to_string(own_id) +
                                   ") and cannot be exported to (" + std::to_string(type) + ", " + std::to_string(id) +
                                   ")");
        }
    }
    if (!copy.is_none() && !py::isinstance<py::bool_>(copy)) {
        throw std::invalid_argument("copy must be None, True or False, got: " + text_of(copy));
    }
    const bool copied = !copy.is_none() && copy.cast<bool>();
    std::shared_ptr<typename Traits::State> exported = self;
    {
        py::gil_scoped_release unlocked;
        if (copied) {
            exported = Traits::clone(*self);
        }
        if (wait) {
            exported->synchronize();
        }
    }
    return make_capsule<Traits>(std::move(exported), versioned, copied);
}

// ---- import -----------------------------------------------------------------------------

inline void check_import_device(int64_t type) {
    if (type == kStateDeviceType) {
        return;
    }
    if (kCpuExchange) {
        throw std::invalid_argument(
            "from_dlpack needs an array in host memory (DLPack device type 1) on the host build, got device type " +
            std::to_string(type));
    }
    throw std::invalid_argument(
        "from_dlpack needs an array in CUDA device memory (DLPack device type 2), got device type " +
        std::to_string(type));
}

// Asks the producer for a capsule, after checking its device so that a refused array costs
// the producer nothing.
inline py::object request_capsule(const py::object& producer) {
    if (!py::hasattr(producer, "__dlpack__")) {
        throw std::invalid_argument("from_dlpack needs an object with __dlpack__, got: " +
                                    py::type::of(producer).attr("__name__").cast<std::string>());
    }
    if (py::hasattr(producer, "__dlpack_device__")) {
        check_import_device(int_pair(producer.attr("__dlpack_device__")(), "__dlpack_device__()").first);
    }
    // Our work runs on the legacy default stream; a CPU producer takes no stream.
    const py::object stream = kCpuExchange ? py::object(py::none()) : py::object(py::int_(1));
    try {
        return producer.attr("__dlpack__")(py::arg("stream") = stream, py::arg("max_version") = py::make_tuple(1, 0),
                                           py::arg("copy") = false);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_TypeError)) {
            throw;
        }
    }
    return producer.attr("__dlpack__")(py::arg("stream") = stream);  // a producer from before DLPack 1.0
}

// The producer's tensor, still owned by its capsule.
struct Offered {
    void* managed;
    bool versioned;
    DLTensor* tensor;
    uint64_t flags;
};

inline Offered open_capsule(const py::object& capsule) {
    if (PyCapsule_IsValid(capsule.ptr(), kVersionedCapsuleName) != 0) {
        auto* managed =
            static_cast<DLManagedTensorVersioned*>(PyCapsule_GetPointer(capsule.ptr(), kVersionedCapsuleName));
        if (managed->version.major != 1) {
            throw std::invalid_argument("DLPack version " + std::to_string(managed->version.major) + "." +
                                        std::to_string(managed->version.minor) + " is not supported, 1.x is");
        }
        return Offered{managed, true, &managed->dl_tensor, managed->flags};
    }
    if (PyCapsule_IsValid(capsule.ptr(), kCapsuleName) != 0) {
        auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule.ptr(), kCapsuleName));
        return Offered{managed, false, &managed->dl_tensor, 0};
    }
    throw std::invalid_argument("__dlpack__ did not return an unused DLPack capsule");
}

// True for complex128, false for complex64.
inline bool tensor_is_double(const DLDataType& dtype) {
    if (dtype.code == kDLComplex && dtype.lanes == 1 && (dtype.bits == 64 || dtype.bits == 128)) {
        return dtype.bits == 128;
    }
    throw std::invalid_argument("from_dlpack needs a complex64 or complex128 array, got DLPack type code " +
                                std::to_string(dtype.code) + " with " + std::to_string(dtype.bits) + " bits and " +
                                std::to_string(dtype.lanes) + " lanes");
}

// Takes the tensor from its capsule: from here on the returned owner runs the producer's
// deleter exactly once, when the last view goes.
template <typename Traits>
std::shared_ptr<void> adopt(const py::object& capsule, const Offered& offered, void* data, size_t bytes,
                            int32_t device_id) {
#if QUORRA_HOST_BUILD
    Traits::check_cuda(hostcuda::register_device_view(data, bytes, device_id));
#else
    (void)bytes;
    (void)device_id;
#endif
    const bool versioned = offered.versioned;
    if (PyCapsule_SetName(capsule.ptr(), versioned ? kUsedVersionedCapsuleName : kUsedCapsuleName) != 0) {
#if QUORRA_HOST_BUILD
        (void)hostcuda::release_device_view(data);
#endif
        throw py::error_already_set();
    }
    return std::shared_ptr<void>(offered.managed, [versioned, data](void* managed) {
#if QUORRA_HOST_BUILD
        (void)hostcuda::release_device_view(data);
#else
        (void)data;
#endif
        // Producers' deleters may touch Python objects; the last owner can be anywhere.
        py::gil_scoped_acquire gil;
        const PendingError pending;
        if (versioned) {
            auto* tensor = static_cast<DLManagedTensorVersioned*>(managed);
            if (tensor->deleter != nullptr) {
                tensor->deleter(tensor);
            }
        } else {
            auto* tensor = static_cast<DLManagedTensor*>(managed);
            if (tensor->deleter != nullptr) {
                tensor->deleter(tensor);
            }
        }
    });
}

template <typename Traits>
std::shared_ptr<typename Traits::State> import_state(const py::object& producer) {
    const py::object capsule = request_capsule(producer);
    const Offered offered = open_capsule(capsule);
    const DLTensor& tensor = *offered.tensor;
    check_import_device(tensor.device.device_type);
    const bool is_double = tensor_is_double(tensor.dtype);
    const int n = Traits::qubits_of(tensor);
    void* data = static_cast<char*>(tensor.data) + tensor.byte_offset;
    const size_t width = is_double ? 16 : 8;
    if (data == nullptr || reinterpret_cast<uintptr_t>(data) % width != 0) {
        throw std::invalid_argument("from_dlpack needs array data aligned to " + std::to_string(width) + " bytes");
    }
    if ((offered.flags & kFlagReadOnly) != 0) {
        throw std::invalid_argument("from_dlpack needs a writable array, got a read-only one");
    }
    const int32_t device_id = kCpuExchange ? 0 : tensor.device.device_id;
    std::shared_ptr<void> keep_alive =
        adopt<Traits>(capsule, offered, data, (size_t{1} << (Traits::kDimensions * n)) * width, device_id);
    return Traits::make_view(n, is_double, device_id, data, std::move(keep_alive));
}
}  // namespace detail

// synchronize, __dlpack__, __dlpack_device__ and from_dlpack on the module's state class.
// Traits: State; kStateName; kDimensions (1 or 2); describe(state, shape, strides);
// element_bytes(state); clone(state); qubits_of(tensor), which checks the shape and strides
// and throws the module's messages; make_view(n, is_double, device_id, data, keep_alive);
// check_cuda(status); kExportDoc and kImportDoc.
template <typename Traits>
void bind_dlpack_exchange(py::class_<typename Traits::State, std::shared_ptr<typename Traits::State>>& cls) {
    using State = typename Traits::State;
    cls.def(
           "synchronize",
           [](const State& self) {
               py::gil_scoped_release unlocked;
               self.synchronize();
           },
           "Wait until all work queued on the state's device has finished.")
        .def("__dlpack__", &detail::export_state<Traits>, py::kw_only(), py::arg("stream") = py::none(),
             py::arg("max_version") = py::none(), py::arg("dl_device") = py::none(), py::arg("copy") = py::none(),
             Traits::kExportDoc)
        .def(
            "__dlpack_device__",
            [](const State& self) {
                return py::make_tuple(static_cast<int>(detail::kStateDeviceType),
                                      detail::kCpuExchange ? 0 : self.device_id());
            },
            "The (DLPack device type, device id) pair of the state's memory.")
        .def_static("from_dlpack", &detail::import_state<Traits>, py::arg("array"), Traits::kImportDoc);
}

}  // namespace quorra::dlpack
