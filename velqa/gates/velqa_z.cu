// Z gate: the phase flip diag(1, -1).
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_z.cuh"

namespace velqa {

template <typename T>
struct ZOp {
    __device__ __forceinline__ void operator()(CuComplex<T>*, CuComplex<T>* hi) const {
        *hi = CuComplex<T>{-hi->re, -hi->im};
    }
};

VELQA_PAIR_KERNELS(cu_z_kernel_pair, cu_z_kernel_all_state, (), ZOp<T>{})
namespace z_autopair {
VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), ZOp<T>{})
}  // namespace z_autopair

template <typename T>
void cu_z(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_z", n, state, target, controls, control_state, stream, mode,
                         {cu_z_kernel_pair<T>, cu_z_kernel_all_state<T>},
                         {z_autopair::compact<T>, z_autopair::target0_compact<T>, z_autopair::no_control<T>,
                          z_autopair::target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_z)

}  // namespace velqa
