// Launcher of the fused "one-qubit unitary, then a channel" pass: validation, geometry
// and launch checks.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <quorra_launch.cuh>
#include <stdexcept>

#include "dravik_kraus.cuh"
#include "dravik_launch.hpp"
#include "dravik_unitary_channel.cuh"
#include "dravik_unitary_channel_kernels.cuh"

namespace quorra::dravik {

template <typename T>
void launch_unitary_channel(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets,
                            const CuComplex<T>* matrix, int32_t channel_kind, T p, cudaStream_t stream) {
    if (!is_channel_kind(channel_kind)) {
        throw std::runtime_error("unknown noise channel kind");
    }
    launch::check_dimension(dimension);
    if (targets.count != 1 || matrix == nullptr) {
        throw std::invalid_argument("unitary_channel needs one target and its matrix in device memory");
    }
    launch::check_targets(dimension, targets, "unitary_channel target does not fit the density matrix");
    const uint64_t groups = static_cast<uint64_t>(dimension) >> 1;
    launch::with_channel_kind(channel_kind, [&](auto kind) {
        launch_kernel(unitary_channel_kernel<T, decltype(kind)::value>, dim3(launch::blocks_for(groups * groups)),
                      dim3(launch::kBlockThreads), 0, stream, data, dimension, targets, matrix, p);
    });
    check_launch("unitary_channel kernel launch failed: ");
}

#define DRAVIK_INSTANTIATE_UNITARY_CHANNEL(T)                                                                  \
    template void launch_unitary_channel<T>(CuComplex<T>*, int64_t, const DeviceTargets&, const CuComplex<T>*, \
                                            int32_t, T, cudaStream_t);

DRAVIK_INSTANTIATE_UNITARY_CHANNEL(float)
DRAVIK_INSTANTIATE_UNITARY_CHANNEL(double)

#undef DRAVIK_INSTANTIATE_UNITARY_CHANNEL

}  // namespace quorra::dravik
