// S gate: diag(1, i).
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_s.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

template <typename T>
struct SOp {
    __device__ __forceinline__ void operator()(CuComplex<T>*, CuComplex<T>* hi) const { *hi = mul_i(*hi); }
};

VELQA_PAIR_KERNELS(cu_s_kernel_pair, cu_s_kernel_all_state, (), SOp<T>{})
namespace s_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), SOp<T>{})
}  // namespace s_autopair

template <typename T>
void cu_s(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_s", n, state, target, controls, control_state, stream, mode,
                         {cu_s_kernel_pair<T>, cu_s_kernel_all_state<T>},
                         {s_autopair::compact<T>, s_autopair::target0_compact<T>, s_autopair::no_control<T>,
                          s_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_s)

}  // namespace velqa
