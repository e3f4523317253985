// RX gate: RX(theta) = exp(-i theta X / 2) = [[c, -i s], [-i s, c]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_rx.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// M = [[a, b], [b, a]] with a = (c, 0) and b = (0, -s), c = cos(theta/2), s = sin(theta/2).
template <typename T>
struct RxOp {
    CuComplex<T> a;
    CuComplex<T> b;
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> x = *lo;
        const CuComplex<T> y = *hi;
        *lo = a * x + b * y;
        *hi = b * x + a * y;
    }
};

template <typename T>
__host__ __device__ __forceinline__ RxOp<T> rx_op(T theta) {
    const T half = theta * T(0.5);
    return RxOp<T>{CuComplex<T>{gate_cos(half), T(0)}, CuComplex<T>{T(0), -gate_sin(half)}};
}

// The pair and all-state kernels take the raw angle and build the matrix on the device; the
// AutoPair kernels take the values the launcher prepared once on the host.
VELQA_PAIR_KERNELS(cu_rx_kernel_pair, cu_rx_kernel_all_state, (, T theta), (rx_op(theta)))
namespace rx_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (, CuComplex<T> a, CuComplex<T> b),
                       (RxOp<T>{a, b}))
}  // namespace rx_autopair

template <typename T>
void cu_rx(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
           const std::vector<int64_t>& control_state, T theta, cudaStream_t stream, int32_t mode) {
    launch_rotation<T>("cu_rx", n, state, target, controls, control_state, theta, stream, mode,
                       {cu_rx_kernel_pair<T>, cu_rx_kernel_all_state<T>},
                       {rx_autopair::compact<T>, rx_autopair::target0_compact<T>, rx_autopair::no_control<T>,
                        rx_autopair::target0_no_control<T>, nullptr},
                       rx_op<T>);
}

VELQA_INSTANTIATE_ONE_ANGLE_GATE(cu_rx)

}  // namespace velqa
