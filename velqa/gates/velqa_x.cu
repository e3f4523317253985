// X gate: the bit flip [[0, 1], [1, 0]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_single_qubit.cuh"
#include "gates/velqa_x.cuh"

namespace velqa {

template <typename T>
struct XOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> a = *lo;
        *lo = *hi;
        *hi = a;
    }
};

VELQA_PAIR_KERNELS(cu_x_kernel_pair, cu_x_kernel_all_state, (), XOp<T>{})
namespace x_autopair {

// Controlled X off qubit 0: one thread per state index; those whose target bit is 0 and
// that meet the controls swap their amplitude with the partner's.
template <typename T>
__global__ void state_scan(uint64_t count, CuComplex<T>* state, uint64_t target_bit, uint64_t control_mask,
                           uint64_t control_value) {
    const uint64_t i = gate_thread_index();
    if (i >= count || (i & target_bit) != 0 || (i & control_mask) != control_value) {
        return;
    }
    XOp<T>{}(state + i, state + (i | target_bit));
}

VELQA_TARGET0_AUTOPAIR_KERNELS(target0_compact, no_control, target0_no_control, (), XOp<T>{})

}  // namespace x_autopair

template <typename T>
void cu_x(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_x", n, state, target, controls, control_state, stream, mode,
                         {cu_x_kernel_pair<T>, cu_x_kernel_all_state<T>},
                         {nullptr, x_autopair::target0_compact<T>, x_autopair::no_control<T>,
                          x_autopair::target0_no_control<T>, x_autopair::state_scan<T>});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_x)

}  // namespace velqa
