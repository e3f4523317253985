// SQRTYDAG gate: the inverse of SQRTY: (1/2) [[1-i, 1-i], [-1+i, 1-i]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_sqrtydag.cuh"

namespace velqa {

template <typename T>
struct SqrtYDagOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        // ((1 - i) / 2) [a + b, b - a]
        const CuComplex<T> half_one_minus_i{T(0.5), T(-0.5)};
        const CuComplex<T> a = *lo;
        const CuComplex<T> b = *hi;
        *lo = half_one_minus_i * (a + b);
        *hi = half_one_minus_i * (b - a);
    }
};

VELQA_PAIR_KERNELS(cu_sqrtydag_kernel_pair, cu_sqrtydag_kernel_all_state, (), SqrtYDagOp<T>{})
namespace sqrtydag_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), SqrtYDagOp<T>{})
}  // namespace sqrtydag_autopair

template <typename T>
void cu_sqrtydag(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
                 const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_sqrtydag", n, state, target, controls, control_state, stream, mode,
                         {cu_sqrtydag_kernel_pair<T>, cu_sqrtydag_kernel_all_state<T>},
                         {sqrtydag_autopair::compact<T>, sqrtydag_autopair::target0_compact<T>,
                          sqrtydag_autopair::no_control<T>, sqrtydag_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_sqrtydag)

}  // namespace velqa
