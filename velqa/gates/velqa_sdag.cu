// SDAG gate: diag(1, -i), the inverse of S.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_sdag.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

template <typename T>
struct SDagOp {
    __device__ __forceinline__ void operator()(CuComplex<T>*, CuComplex<T>* hi) const { *hi = mul_minus_i(*hi); }
};

VELQA_PAIR_KERNELS(cu_sdag_kernel_pair, cu_sdag_kernel_all_state, (), SDagOp<T>{})
namespace sdag_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), SDagOp<T>{})
}  // namespace sdag_autopair

template <typename T>
void cu_sdag(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
             const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_sdag", n, state, target, controls, control_state, stream, mode,
                         {cu_sdag_kernel_pair<T>, cu_sdag_kernel_all_state<T>},
                         {sdag_autopair::compact<T>, sdag_autopair::target0_compact<T>, sdag_autopair::no_control<T>,
                          sdag_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_sdag)

}  // namespace velqa
