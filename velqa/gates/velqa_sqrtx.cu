// SQRTX gate: the square root of X: (1/2) [[1+i, 1-i], [1-i, 1+i]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_sqrtx.cuh"

namespace velqa {

template <typename T>
struct SqrtXOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        // (1/2) [(a + b) + i (a - b), (a + b) - i (a - b)]
        const CuComplex<T> sum = *lo + *hi;
        const CuComplex<T> turn = mul_i(*lo - *hi);
        *lo = T(0.5) * (sum + turn);
        *hi = T(0.5) * (sum - turn);
    }
};

VELQA_PAIR_KERNELS(cu_sqrtx_kernel_pair, cu_sqrtx_kernel_all_state, (), SqrtXOp<T>{})
namespace sqrtx_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), SqrtXOp<T>{})
}  // namespace sqrtx_autopair

template <typename T>
void cu_sqrtx(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
              const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_sqrtx", n, state, target, controls, control_state, stream, mode,
                         {cu_sqrtx_kernel_pair<T>, cu_sqrtx_kernel_all_state<T>},
                         {sqrtx_autopair::compact<T>, sqrtx_autopair::target0_compact<T>, sqrtx_autopair::no_control<T>,
                          sqrtx_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_sqrtx)

}  // namespace velqa
