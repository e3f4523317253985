// Y gate: [[0, -i], [i, 0]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_y.cuh"

namespace velqa {

template <typename T>
struct YOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> a = *lo;
        *lo = mul_minus_i(*hi);
        *hi = mul_i(a);
    }
};

VELQA_PAIR_KERNELS(cu_y_kernel_pair, cu_y_kernel_all_state, (), YOp<T>{})
namespace y_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), YOp<T>{})
}  // namespace y_autopair

template <typename T>
void cu_y(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_y", n, state, target, controls, control_state, stream, mode,
                         {cu_y_kernel_pair<T>, cu_y_kernel_all_state<T>},
                         {y_autopair::compact<T>, y_autopair::target0_compact<T>, y_autopair::no_control<T>,
                          y_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_y)

}  // namespace velqa
