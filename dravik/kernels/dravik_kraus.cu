// Launchers of the built-in noise channels and of general Kraus maps: validation,
// geometry and launch checks.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <quorra_launch.cuh>
#include <stdexcept>

#include "dravik_kraus.cuh"
#include "dravik_kraus_kernels.cuh"
#include "dravik_launch.hpp"

namespace quorra::dravik {

namespace {

template <typename T, int K>
void launch_kraus_width(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, int64_t kraus_count,
                        const CuComplex<T>* matrices, cudaStream_t stream) {
    const uint64_t groups = uint64_t{1} << targets.rest_count;
    launch_kernel(kraus_kernel<T, K>, dim3(launch::blocks_for(groups * groups * kKrausThreadsPerBlockOfRho<K>)),
                  dim3(launch::kBlockThreads), 0, stream, data, dimension, targets, kraus_count, matrices);
}

}  // namespace

template <typename T>
void launch_channel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, int32_t channel_kind, T p,
                    cudaStream_t stream) {
    if (!is_channel_kind(channel_kind)) {
        throw std::runtime_error("unknown noise channel kind");
    }
    launch::check_dimension(dimension);
    launch::check_single_qubit_mask(dimension, target_mask, "channel target does not fit the density matrix");
    dim3 grid;
    dim3 block;
    launch::element_geometry(dimension, grid, block);
    launch::with_channel_kind(channel_kind, [&](auto kind) {
        launch_kernel(channel_kernel<T, decltype(kind)::value>, grid, block, 0, stream, data, dimension, target_mask,
                      p);
    });
    check_launch("channel kernel launch failed: ");
}

template <typename T>
void launch_kraus(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, int64_t kraus_count,
                  const CuComplex<T>* matrices, cudaStream_t stream) {
    const int64_t k = targets.count;
    if (k < 1 || k > kMaxKrausKernelTargets) {
        throw std::runtime_error("GPU density Kraus supports at most 3 targets");
    }
    launch::check_dimension(dimension);
    launch::check_targets(dimension, targets, "Kraus targets do not fit the density matrix");
    if (kraus_count < 1 || matrices == nullptr) {
        throw std::invalid_argument("Kraus map needs at least one matrix in device memory");
    }
    switch (k) {
        case 1:
            launch_kraus_width<T, 1>(data, dimension, targets, kraus_count, matrices, stream);
            break;
        case 2:
            launch_kraus_width<T, 2>(data, dimension, targets, kraus_count, matrices, stream);
            break;
        default:
            launch_kraus_width<T, 3>(data, dimension, targets, kraus_count, matrices, stream);
            break;
    }
    check_launch("kraus_kernel launch failed: ");
}

#define DRAVIK_INSTANTIATE_KRAUS(T)                                                                           \
    template void launch_channel<T>(CuComplex<T>*, int64_t, uint64_t, int32_t, T, cudaStream_t);              \
    template void launch_kraus<T>(CuComplex<T>*, int64_t, const DeviceTargets&, int64_t, const CuComplex<T>*, \
                                  cudaStream_t);

DRAVIK_INSTANTIATE_KRAUS(float)
DRAVIK_INSTANTIATE_KRAUS(double)

#undef DRAVIK_INSTANTIATE_KRAUS

}  // namespace quorra::dravik
