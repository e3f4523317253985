// H gate: the Hadamard gate (1/sqrt 2) [[1, 1], [1, -1]].
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_h.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// 1/sqrt 2 in the state's precision; float kernels use the single-precision constant.
template <typename T>
__host__ __device__ __forceinline__ T hadamard_scale() {
    if constexpr (sizeof(T) == sizeof(float)) {
        return 0.70710677F;
    } else {
        return 0.7071067811865476;
    }
}

template <typename T>
struct HOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const T r = hadamard_scale<T>();
        const CuComplex<T> a = *lo;
        const CuComplex<T> b = *hi;
        *lo = r * (a + b);
        *hi = r * (a - b);
    }
};

VELQA_PAIR_KERNELS(cu_h_kernel_pair, cu_h_kernel_all_state, (), HOp<T>{})
VELQA_AUTOPAIR_KERNELS(h_compact, h_target0_compact, h_no_control, h_target0_no_control, (), HOp<T>{})

template <typename T>
void cu_h(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, int32_t mode) {
    launch_fixed_gate<T>("cu_h", n, state, target, controls, control_state, stream, mode,
                         {cu_h_kernel_pair<T>, cu_h_kernel_all_state<T>},
                         {h_compact<T>, h_target0_compact<T>, h_no_control<T>, h_target0_no_control<T>, nullptr});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_h)

}  // namespace velqa
