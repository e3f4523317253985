// SQRTY gate: the square root of Y: (1/2) [[1+i, -1-i], [1+i, 1+i]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_sqrty.cuh"

namespace velqa {

template <typename T>
struct SqrtYOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        // ((1 + i) / 2) [a - b, a + b]
        const CuComplex<T> half_one_plus_i{T(0.5), T(0.5)};
        const CuComplex<T> a = *lo;
        const CuComplex<T> b = *hi;
        *lo = half_one_plus_i * (a - b);
        *hi = half_one_plus_i * (a + b);
    }
};

VELQA_PAIR_KERNELS(cu_sqrty_kernel_pair, cu_sqrty_kernel_all_state, (), SqrtYOp<T>{})
namespace sqrty_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), SqrtYOp<T>{})
}  // namespace sqrty_autopair

template <typename T>
void cu_sqrty(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
              const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_sqrty", n, state, target, controls, control_state, stream, mode,
                         {cu_sqrty_kernel_pair<T>, cu_sqrty_kernel_all_state<T>},
                         {sqrty_autopair::compact<T>, sqrty_autopair::target0_compact<T>, sqrty_autopair::no_control<T>,
                          sqrty_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_sqrty)

}  // namespace velqa
