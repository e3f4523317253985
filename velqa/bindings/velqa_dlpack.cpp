// DeviceState in the shared DLPack exchange: a 1-D array of 2^n amplitudes.
// Host C++ with pybind11.
#include "velqa_dlpack.hpp"

#include <bit>
#include <cstdint>
#include <memory>
#include <quorra_dlpack.hpp>
#include <stdexcept>
#include <string>
#include <utility>

namespace velqa::dlpack {

namespace {

using quorra::dlpack::DLTensor;

struct StateTraits {
    using State = DeviceState;
    static constexpr const char* kStateName = "DeviceState";
    static constexpr int32_t kDimensions = 1;
    static constexpr const char* kExportDoc =
        "Export the amplitudes as a DLPack capsule that shares the state's memory (copy=True: a new copy).";
    static constexpr const char* kImportDoc =
        "Wrap a C-contiguous complex64 or complex128 DLPack array of 2**n elements as a DeviceState without "
        "copying; the array stays alive while the state lives.";

    static void describe(const State& state, int64_t* shape, int64_t* strides) {
        shape[0] = state.num_state();
        strides[0] = 1;
    }
    static int64_t element_bytes(const State& state) { return bytes_per_amplitude(state.precision()); }
    static std::shared_ptr<State> clone(const State& state) { return state.clone(); }
    static void check_cuda(cudaError_t status) { velqa::check_cuda(status); }

    static int qubits_of(const DLTensor& tensor) {
        const int64_t size = tensor.ndim == 1 ? tensor.shape[0] : 0;
        if (tensor.ndim != 1 || size < 2 || (size & (size - 1)) != 0 || size > (int64_t{1} << 62)) {
            throw std::invalid_argument("from_dlpack needs a 1-D array of 2**n elements, n in [1, 62], got shape " +
                                        quorra::dlpack::detail::shape_text(tensor));
        }
        if (tensor.strides != nullptr && tensor.strides[0] != 1) {
            throw std::invalid_argument("from_dlpack needs a C-contiguous array, got strides (" +
                                        std::to_string(tensor.strides[0]) + ",) in elements");
        }
        return std::countr_zero(static_cast<uint64_t>(size));
    }
    static std::shared_ptr<State> make_view(int n, bool is_double, int32_t device_id, void* data,
                                            std::shared_ptr<void> keep_alive) {
        return std::make_shared<DeviceState>(n, is_double ? Precision::Complex128 : Precision::Complex64, device_id,
                                             data, std::move(keep_alive));
    }
};

}  // namespace

void bind_state_exchange(pybind11::class_<DeviceState, std::shared_ptr<DeviceState>>& cls) {
    quorra::dlpack::bind_dlpack_exchange<StateTraits>(cls);
}

}  // namespace velqa::dlpack
