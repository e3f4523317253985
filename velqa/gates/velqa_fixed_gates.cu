// The gates without angles: X, Y, Z, H, S, SDAG, SQRTX, SQRTXDAG, SQRTY, SQRTYDAG. Each is its
// pair operation; velqa_single_qubit.cuh makes the kernels and the launcher from it.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include "gates/velqa_gates.cuh"
#include "gates/velqa_single_qubit.cuh"

namespace velqa {

// X: the bit flip [[0, 1], [1, 0]].
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
          const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
    launch_fixed_gate<T>("cu_x", n, state, target, controls, control_state, stream, mode,
                         {cu_x_kernel_pair<T>, cu_x_kernel_all_state<T>},
                         {nullptr, x_autopair::target0_compact<T>, x_autopair::no_control<T>,
                          x_autopair::target0_no_control<T>, x_autopair::state_scan<T>});
}

VELQA_INSTANTIATE_FIXED_GATE(cu_x)

// Y: [[0, -i], [i, 0]].
template <typename T>
struct YOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> a = *lo;
        *lo = mul_minus_i(*hi);
        *hi = mul_i(a);
    }
};
VELQA_FIXED_GATE(y, YOp)

// Z: the phase flip diag(1, -1).
template <typename T>
struct ZOp {
    __device__ __forceinline__ void operator()(CuComplex<T>*, CuComplex<T>* hi) const {
        *hi = CuComplex<T>{-hi->re, -hi->im};
    }
};
VELQA_FIXED_GATE(z, ZOp)

// 1/sqrt 2 in the state's precision; float kernels use the single-precision constant.
template <typename T>
__host__ __device__ __forceinline__ T hadamard_scale() {
    if constexpr (sizeof(T) == sizeof(float)) {
        return 0.70710677F;
    } else {
        return 0.7071067811865476;
    }
}

// H: the Hadamard gate (1/sqrt 2) [[1, 1], [1, -1]].
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
VELQA_FIXED_GATE(h, HOp)

// S: diag(1, i).
template <typename T>
struct SOp {
    __device__ __forceinline__ void operator()(CuComplex<T>*, CuComplex<T>* hi) const { *hi = mul_i(*hi); }
};
VELQA_FIXED_GATE(s, SOp)

// SDAG: diag(1, -i), the inverse of S.
template <typename T>
struct SDagOp {
    __device__ __forceinline__ void operator()(CuComplex<T>*, CuComplex<T>* hi) const { *hi = mul_minus_i(*hi); }
};
VELQA_FIXED_GATE(sdag, SDagOp)

// SQRTX: the square root of X, (1/2) [[1+i, 1-i], [1-i, 1+i]]; SQRTXDAG its inverse.
// Sign +1: (1/2) [(a + b) + i (a - b), (a + b) - i (a - b)]; sign -1 turns i into -i.
template <typename T, int Sign>
struct SqrtXSignedOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> sum = *lo + *hi;
        const CuComplex<T> turn = mul_i(*lo - *hi);
        if constexpr (Sign > 0) {
            *lo = T(0.5) * (sum + turn);
            *hi = T(0.5) * (sum - turn);
        } else {
            *lo = T(0.5) * (sum - turn);
            *hi = T(0.5) * (sum + turn);
        }
    }
};
template <typename T>
using SqrtXOp = SqrtXSignedOp<T, 1>;
template <typename T>
using SqrtXDagOp = SqrtXSignedOp<T, -1>;
VELQA_FIXED_GATE(sqrtx, SqrtXOp)
VELQA_FIXED_GATE(sqrtxdag, SqrtXDagOp)

// SQRTY: the square root of Y, (1/2) [[1+i, -1-i], [1+i, 1+i]] = ((1 + i) / 2) [a - b, a + b].
template <typename T>
struct SqrtYOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> half_one_plus_i{T(0.5), T(0.5)};
        const CuComplex<T> a = *lo;
        const CuComplex<T> b = *hi;
        *lo = half_one_plus_i * (a - b);
        *hi = half_one_plus_i * (a + b);
    }
};
VELQA_FIXED_GATE(sqrty, SqrtYOp)

// SQRTYDAG: the inverse of SQRTY, (1/2) [[1-i, 1-i], [-1+i, 1-i]] = ((1 - i) / 2) [a + b, b - a].
template <typename T>
struct SqrtYDagOp {
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> half_one_minus_i{T(0.5), T(-0.5)};
        const CuComplex<T> a = *lo;
        const CuComplex<T> b = *hi;
        *lo = half_one_minus_i * (a + b);
        *hi = half_one_minus_i * (b - a);
    }
};
VELQA_FIXED_GATE(sqrtydag, SqrtYDagOp)

}  // namespace velqa
