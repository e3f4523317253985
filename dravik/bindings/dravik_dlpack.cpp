// DeviceDensityState in the shared DLPack exchange: a row-major (2^n, 2^n) matrix.
// Host C++ with pybind11.
#include "dravik_dlpack.hpp"

#include <bit>
#include <cstdint>
#include <memory>
#include <quorra_dlpack.hpp>
#include <stdexcept>
#include <string>
#include <utility>

namespace quorra::dravik::dlpack {

namespace {

using quorra::dlpack::DLTensor;

struct DensityTraits {
    using State = DeviceDensityState;
    static constexpr const char* kStateName = "DeviceDensityState";
    static constexpr int32_t kDimensions = 2;
    static constexpr const char* kExportDoc =
        "Export the matrix as a DLPack capsule that shares the state's memory (copy=True: a new copy).";
    static constexpr const char* kImportDoc =
        "Wrap a C-contiguous complex64 or complex128 DLPack array of shape (2**n, 2**n) as a DeviceDensityState "
        "without copying; the array stays alive while the state lives.";

    // Row-major (2^n, 2^n), strides in elements.
    static void describe(const State& state, int64_t* shape, int64_t* strides) {
        shape[0] = shape[1] = strides[0] = static_cast<int64_t>(state.dimension());
        strides[1] = 1;
    }
    static size_t element_bytes(const State& state) { return state.element_bytes(); }
    static std::shared_ptr<State> clone(const State& state) { return state.clone_density_state(); }
    static void check_cuda(cudaError_t status) { dravik::check_cuda(status); }

    static int qubits_of(const DLTensor& tensor) {
        const int64_t side = tensor.ndim == 2 ? tensor.shape[0] : 0;
        if (tensor.ndim != 2 || side < 1 || tensor.shape[1] != side || (side & (side - 1)) != 0 ||
            side > (int64_t{1} << kMaxDensityQubits)) {
            throw std::invalid_argument("from_dlpack needs an array of shape (2**n, 2**n), n in [0, 15], got shape " +
                                        quorra::dlpack::detail::shape_text(tensor));
        }
        // Strides of a side of length 1 say nothing about the layout.
        if (tensor.strides != nullptr && side > 1 && (tensor.strides[0] != side || tensor.strides[1] != 1)) {
            throw std::invalid_argument("from_dlpack needs a C-contiguous array, got strides (" +
                                        std::to_string(tensor.strides[0]) + ", " + std::to_string(tensor.strides[1]) +
                                        ") in elements");
        }
        return std::countr_zero(static_cast<uint64_t>(side));
    }
    static std::shared_ptr<State> make_view(int n, bool is_double, int32_t device_id, void* data,
                                            std::shared_ptr<void> keep_alive) {
        return std::make_shared<DeviceDensityState>(static_cast<uint64_t>(n), is_double, device_id, data,
                                                    std::move(keep_alive));
    }
};

}  // namespace

void bind_state_exchange(pybind11::class_<DeviceDensityState, std::shared_ptr<DeviceDensityState>>& cls) {
    quorra::dlpack::bind_dlpack_exchange<DensityTraits>(cls);
}

}  // namespace quorra::dravik::dlpack
