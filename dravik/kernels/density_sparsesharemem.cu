// Launcher of fused density groups: the checks in order, the tile geometry and the launch
// check; and the host-side check of the gate records before they are uploaded.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <quorra_launch.cuh>
#include <stdexcept>

#include "density_sparsesharemem.cuh"
#include "density_sparsesharemem_kernels.cuh"
#include "dravik_kraus.cuh"
#include "dravik_launch.hpp"

namespace quorra::dravik {

namespace {

// One thread per register cube of the tile (4x4 elements; 2x2 when k = 1), at least a warp:
// 64 threads for k = 5, 32 below. More would only wait at the barriers.
unsigned fused_block_threads(int64_t k) {
    const int64_t cube_bits = std::min<int64_t>(k, 2);
    return std::max(32U, 1U << (2 * (k - cube_bits)));
}
constexpr uint64_t kMaxFusedBlocks = 65535;

}  // namespace

void check_density_gate(const DeviceDensityGate<double>& gate, int64_t k) {
    const int64_t local = int64_t{1} << k;
    const bool target_ok = gate.target >= 0 && gate.target < k;
    const bool controls_ok = gate.control_mask >= 0 && gate.control_mask < local &&
                             (gate.control_values & ~gate.control_mask) == 0 &&
                             (!target_ok || ((gate.control_mask >> gate.target) & 1) == 0);
    bool kind_ok = false;
    switch (static_cast<DensityGateKind>(gate.kind)) {
        case DensityGateKind::Matrix:
        case DensityGateKind::Diagonal:
            kind_ok = true;
            break;
        case DensityGateKind::Flip:
            kind_ok = target_ok && gate.flip_mask == (int32_t{1} << gate.target);
            break;
        case DensityGateKind::Channel:
            kind_ok = is_channel_kind(gate.channel_kind) && gate.control_mask == 0;
            break;
    }
    if (!target_ok || !controls_ok || !kind_ok) {
        throw std::invalid_argument("density gate does not fit its fused group");
    }
}

template <typename T>
void launch_density_sparsesharemem(int64_t dimension, CuComplex<T>* data, uint64_t active_mask, int64_t k,
                                   const DeviceDensityGate<T>* gates, int64_t gate_count, cudaStream_t stream) {
    if (k < 1 || k > kMaxFusedQubits) {
        throw std::invalid_argument("density fusion active qubits must be in [1,5]");
    }
    if (gate_count < 1) {
        throw std::invalid_argument("fusion group cannot be empty");
    }
    int64_t n = 0;
    for (int64_t d = dimension; d > 1; d >>= 1) {
        ++n;
    }
    if (n < k) {
        throw std::invalid_argument("active qubits exceed circuit size");
    }
    launch::check_dimension(dimension);
    if (__builtin_popcountll(active_mask) != k || active_mask >= static_cast<uint64_t>(dimension) || gates == nullptr) {
        throw std::invalid_argument("fused group does not fit the density matrix");
    }
    const uint64_t all = static_cast<uint64_t>(dimension) - 1;
    const uint64_t tiles = uint64_t{1} << (2 * (n - k));
    const auto blocks = static_cast<unsigned>(std::min(tiles, kMaxFusedBlocks));
    const size_t shared_bytes = (size_t{1} << (2 * k)) * sizeof(CuComplex<T>);
    launch_kernel(density_sparsesharemem_kernel<T>, dim3(blocks), dim3(fused_block_threads(k)), shared_bytes, stream,
                  data, dimension, tiles, active_mask, active_mask ^ all, k, n - k, gates, gate_count);
    check_launch("density_sparsesharemem kernel launch failed: ");
}

template void launch_density_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int64_t,
                                                   const DeviceDensityGate<float>*, int64_t, cudaStream_t);
template void launch_density_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int64_t,
                                                    const DeviceDensityGate<double>*, int64_t, cudaStream_t);

}  // namespace quorra::dravik
