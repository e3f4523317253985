// SparseShareMem launcher: validation and geometry.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <algorithm>
#include <bit>
#include <stdexcept>

#include "fusion/velqa_sparsesharemem.cuh"
#include "fusion/velqa_sparsesharemem_kernels.cuh"
#include "quorra_launch.cuh"

namespace velqa::fusion {

namespace {

// A k = 10 tile of complex128 is 16 KiB, inside the default 48 KiB without opting in.
constexpr int64_t kMaxTileQubits = 10;
constexpr uint64_t kMaxGrid = 65535;

}  // namespace

template <typename T>
void launch_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int64_t k,
                           const DeviceMatrixGate<T>* gates, int64_t gate_count, cudaStream_t stream) {
    if (k < 1 || k > kMaxTileQubits) {
        throw std::invalid_argument("SparseShareMem active qubits must be in [1, 10]");
    }
    if (k > n) {
        throw std::invalid_argument("SparseShareMem active qubits exceed circuit size");
    }
    if (gate_count <= 0) {
        throw std::invalid_argument("SparseShareMem group cannot be empty");
    }
    const uint64_t all = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    // The mask comes from the plan; one outside the state would send the tile out of bounds.
    if (std::popcount(active_mask) != k || (active_mask & ~all) != 0) {
        throw std::invalid_argument("SparseShareMem active mask does not match its qubits");
    }
    const uint64_t num_tiles = uint64_t{1} << (n - k);
    const uint64_t inactive_mask = active_mask ^ all;
    const size_t shared_bytes = (size_t{1} << k) * sizeof(CuComplex<T>);
    quorra::launch_kernel(sparsesharemem_kernel<T>, dim3(static_cast<unsigned>(std::min(num_tiles, kMaxGrid))),
                          dim3(sparsesharemem_block_threads(k)), shared_bytes, stream, state, num_tiles, active_mask,
                          inactive_mask, static_cast<int>(k), gates, static_cast<int>(gate_count));
}

template void launch_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int64_t,
                                           const DeviceMatrixGate<float>*, int64_t, cudaStream_t);
template void launch_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int64_t,
                                            const DeviceMatrixGate<double>*, int64_t, cudaStream_t);

}  // namespace velqa::fusion
