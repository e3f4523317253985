// SQRTXDAG gate: the inverse of SQRTX: (1/2) [[1-i, 1+i], [1+i, 1-i]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_sqrtxdag.cuh"

namespace velqa {

template <typename T>
struct SqrtXDagOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        // (1/2) [(a + b) - i (a - b), (a + b) + i (a - b)]
        const CuComplex<T> sum = *lo + *hi;
        const CuComplex<T> turn = mul_i(*lo - *hi);
        *lo = T(0.5) * (sum - turn);
        *hi = T(0.5) * (sum + turn);
    }
};

VELQA_PAIR_KERNELS(cu_sqrtxdag_kernel_pair, cu_sqrtxdag_kernel_all_state, (), SqrtXDagOp<T>{})
namespace sqrtxdag_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), SqrtXDagOp<T>{})
}  // namespace sqrtxdag_autopair

template <typename T>
void cu_sqrtxdag(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
                 const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_sqrtxdag", n, state, target, controls, control_state, stream, mode,
                         {cu_sqrtxdag_kernel_pair<T>, cu_sqrtxdag_kernel_all_state<T>},
                         {sqrtxdag_autopair::compact<T>, sqrtxdag_autopair::target0_compact<T>,
                          sqrtxdag_autopair::no_control<T>, sqrtxdag_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_sqrtxdag)

}  // namespace velqa
