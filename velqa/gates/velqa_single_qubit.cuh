// The single-qubit gate family: what its fifteen members share. Each member supplies a pair
// operation (how it rewrites the two amplitudes of a pair); this header turns it into the
// pair, all-state and AutoPair kernels and chooses among them at launch.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "gates/velqa_index_bits.cuh"
#include "quorra_launch.cuh"
#include "runner/velqa_gate_checks.hpp"
#include "runner/velqa_gate_record.hpp"
#include "runner/velqa_kernel_mode.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa {

constexpr unsigned kGateBlockThreads = 256;

// A 2x2 gate matrix, row-major: row = output basis state, column = input basis state.
template <typename T>
struct GateMatrix2x2 {
    CuComplex<T> m00;
    CuComplex<T> m01;
    CuComplex<T> m10;
    CuComplex<T> m11;
};

// cos and sin in the state's precision, for kernels and for the host-side AutoPair values.
__host__ __device__ __forceinline__ float gate_cos(float x) { return cosf(x); }
__host__ __device__ __forceinline__ double gate_cos(double x) { return cos(x); }
__host__ __device__ __forceinline__ float gate_sin(float x) { return sinf(x); }
__host__ __device__ __forceinline__ double gate_sin(double x) { return sin(x); }

// (cos x, sin x): e to the i x.
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> unit_phase(T x) {
    return CuComplex<T>{gate_cos(x), gate_sin(x)};
}

// i z and -i z.
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> mul_i(CuComplex<T> z) {
    return CuComplex<T>{-z.im, z.re};
}
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> mul_minus_i(CuComplex<T> z) {
    return CuComplex<T>{z.im, -z.re};
}

// The thread's number in a one-dimensional grid, in 64 bits.
__device__ __forceinline__ uint64_t gate_thread_index() {
    return static_cast<uint64_t>(blockIdx.x) * kGateBlockThreads + threadIdx.x;
}

// Pair operations: op(lo, hi) rewrites the amplitudes whose target bit is 0 (lo) and 1 (hi).
// Each reads only what its matrix needs, so diagonal gates with m00 = 1 leave lo untouched.

// Any 2x2 matrix.
template <typename T>
struct MatrixOp {
    GateMatrix2x2<T> m;
    __device__ __forceinline__ void operator()(CuComplex<T>* lo, CuComplex<T>* hi) const {
        const CuComplex<T> a = *lo;
        const CuComplex<T> b = *hi;
        *lo = m.m00 * a + m.m01 * b;
        *hi = m.m10 * a + m.m11 * b;
    }
};

// diag(1, phase): only hi changes.
template <typename T>
struct PhaseOp {
    CuComplex<T> phase;
    __device__ __forceinline__ void operator()(CuComplex<T>*, CuComplex<T>* hi) const { *hi = phase * *hi; }
};

// ---- kernel bodies: one pair per thread, found in one of six ways --------------------------

// Thread k: i0 = k with a 0 bit inserted at the target; acts where i0 meets the controls.
template <typename T, typename Op>
__device__ __forceinline__ void pair_body(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                          uint64_t control_value, const Op& op) {
    const uint64_t k = gate_thread_index();
    if (k >= (uint64_t{1} << (n - 1))) {
        return;
    }
    const uint64_t i0 = insert_zero_at(k, target);
    if ((i0 & control_mask) == control_value) {
        op(state + i0, state + (i0 | (uint64_t{1} << target)));
    }
}

// Thread i acts when bit target of i is 0 and i meets the controls; half the threads idle.
template <typename T, typename Op>
__device__ __forceinline__ void all_state_body(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                               uint64_t control_value, const Op& op) {
    const uint64_t i = gate_thread_index();
    const uint64_t target_bit = uint64_t{1} << target;
    if (i >= (uint64_t{1} << n) || (i & target_bit) != 0 || (i & control_mask) != control_value) {
        return;
    }
    op(state + i, state + (i | target_bit));
}

// Thread k: i0 = the k-th index whose control and target bits are fixed; every thread acts.
template <typename T, typename Op>
__device__ __forceinline__ void compact_body(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask,
                                             uint64_t fixed_value, uint64_t target_bit, const Op& op) {
    const uint64_t k = gate_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i0 = expand_index(k, fixed_mask, fixed_value);
    op(state + i0, state + (i0 | target_bit));
}

template <typename T, typename Op>
__device__ __forceinline__ void target0_compact_body(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask,
                                                     uint64_t fixed_value, const Op& op) {
    const uint64_t k = gate_thread_index();
    if (k >= count) {
        return;
    }
    apply_adjacent(state + expand_index(k, fixed_mask, fixed_value), op);
}

template <typename T, typename Op>
__device__ __forceinline__ void no_control_body(uint64_t count, CuComplex<T>* state, uint64_t target_bit,
                                                const Op& op) {
    const uint64_t k = gate_thread_index();
    if (k >= count) {
        return;
    }
    const uint64_t i0 = insert_zero_bit(k, target_bit);
    op(state + i0, state + (i0 | target_bit));
}

// Two adjacent amplitudes (2k, 2k + 1), moved as one aligned block: a thread reads and writes its
// pair with full-width accesses and a warp covers one contiguous span.
template <typename T>
struct alignas(4 * sizeof(T)) AdjacentPair {
    CuComplex<T> lo;
    CuComplex<T> hi;
};

template <typename T, typename Op>
__device__ __forceinline__ void apply_adjacent(CuComplex<T>* first, const Op& op) {
    AdjacentPair<T>* where = reinterpret_cast<AdjacentPair<T>*>(first);  // first is even: aligned
    AdjacentPair<T> pair = *where;
    op(&pair.lo, &pair.hi);
    *where = pair;
}

template <typename T, typename Op>
__device__ __forceinline__ void target0_no_control_body(uint64_t count, CuComplex<T>* state, const Op& op) {
    const uint64_t k = gate_thread_index();
    if (k >= count) {
        return;
    }
    apply_adjacent(state + 2 * k, op);
}

// ---- named kernels of one gate ----------------------------------------------------------------
// A gate's kernels differ only in their names, their trailing parameters and the pair operation.
// PARAMS is the list of trailing parameters in parentheses with a leading comma, for example
// (, T theta), or () for none; OP builds the pair operation from them inside the kernel.

#define VELQA_EXPAND(...) __VA_ARGS__

#define VELQA_PAIR_KERNELS(PAIR, ALL_STATE, PARAMS, OP)                                              \
    template <typename T>                                                                            \
    __global__ void PAIR(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,      \
                         uint64_t control_value VELQA_EXPAND PARAMS) {                               \
        pair_body<T>(n, state, target, control_mask, control_value, OP);                             \
    }                                                                                                \
    template <typename T>                                                                            \
    __global__ void ALL_STATE(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask, \
                              uint64_t control_value VELQA_EXPAND PARAMS) {                          \
        all_state_body<T>(n, state, target, control_mask, control_value, OP);                        \
    }

#define VELQA_TARGET0_AUTOPAIR_KERNELS(TARGET0_COMPACT, NO_CONTROL, TARGET0_NO_CONTROL, PARAMS, OP)            \
    template <typename T>                                                                                      \
    __global__ void TARGET0_COMPACT(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask,                  \
                                    uint64_t fixed_value VELQA_EXPAND PARAMS) {                                \
        target0_compact_body<T>(count, state, fixed_mask, fixed_value, OP);                                    \
    }                                                                                                          \
    template <typename T>                                                                                      \
    __global__ void NO_CONTROL(uint64_t count, CuComplex<T>* state, uint64_t target_bit VELQA_EXPAND PARAMS) { \
        no_control_body<T>(count, state, target_bit, OP);                                                      \
    }                                                                                                          \
    template <typename T>                                                                                      \
    __global__ void TARGET0_NO_CONTROL(uint64_t count, CuComplex<T>* state VELQA_EXPAND PARAMS) {              \
        target0_no_control_body<T>(count, state, OP);                                                          \
    }

#define VELQA_AUTOPAIR_KERNELS(COMPACT, TARGET0_COMPACT, NO_CONTROL, TARGET0_NO_CONTROL, PARAMS, OP)        \
    template <typename T>                                                                                   \
    __global__ void COMPACT(uint64_t count, CuComplex<T>* state, uint64_t fixed_mask, uint64_t fixed_value, \
                            uint64_t target_bit VELQA_EXPAND PARAMS) {                                      \
        compact_body<T>(count, state, fixed_mask, fixed_value, target_bit, OP);                             \
    }                                                                                                       \
    VELQA_TARGET0_AUTOPAIR_KERNELS(TARGET0_COMPACT, NO_CONTROL, TARGET0_NO_CONTROL, PARAMS, OP)

// ---- launch ------------------------------------------------------------------------------------

// The pair and all-state kernels of a gate; Raw are its raw angle parameters.
template <typename T, typename... Raw>
struct PairKernels {
    void (*pair)(int64_t, CuComplex<T>*, int32_t, uint64_t, uint64_t, Raw...);
    void (*all_state)(int64_t, CuComplex<T>*, int32_t, uint64_t, uint64_t, Raw...);
};

// The AutoPair kernels of a gate; Prepared are the values the host prepares for them.
// A gate with a state scan (X) uses it in place of the compact kernel.
template <typename T, typename... Prepared>
struct AutoPairKernels {
    void (*compact)(uint64_t, CuComplex<T>*, uint64_t, uint64_t, uint64_t, Prepared...);
    void (*target0_compact)(uint64_t, CuComplex<T>*, uint64_t, uint64_t, Prepared...);
    void (*no_control)(uint64_t, CuComplex<T>*, uint64_t, Prepared...);
    void (*target0_no_control)(uint64_t, CuComplex<T>*, Prepared...);
    void (*state_scan)(uint64_t, CuComplex<T>*, uint64_t, uint64_t, uint64_t);
};

// Blocks of 256 covering `items` threads (an oversized grid fails at launch, see grid_blocks).
inline dim3 gate_grid(uint64_t items) { return dim3(grid_blocks(items, kGateBlockThreads)); }

// Builds and checks the control masks, then enqueues the one kernel that fits the mode
// (AllState, PairAuto, anything else pair) and checks the launch under `name`.
// prepare() gives the AutoPair values; it runs only when an AutoPair kernel is launched.
template <typename T, typename... Raw, typename... Prepared, typename Prepare>
void launch_single_qubit(const char* name, int64_t n, CuComplex<T>* state, int32_t target,
                         const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state,
                         cudaStream_t stream, KernelMode mode, const PairKernels<T, Raw...>& pair_kernels,
                         const std::tuple<Raw...>& raw, const AutoPairKernels<T, Prepared...>& autopair,
                         Prepare prepare) {
    const ControlMasks masks = build_control_masks(controls, control_state);
    check_gate_qubits(n, {target}, controls);
    const dim3 block(kGateBlockThreads);
    const uint64_t cm = masks.control_mask;
    const uint64_t cv = masks.control_value;
    if (mode != KernelMode::PairAuto) {
        const bool all_state = mode == KernelMode::AllState;
        const auto kernel = all_state ? pair_kernels.all_state : pair_kernels.pair;
        const uint64_t items = all_state ? uint64_t{1} << n : uint64_t{1} << (n - 1);
        std::apply(
            [&](auto... angles) {
                quorra::launch_kernel(kernel, gate_grid(items), block, 0, stream, n, state, target, cm, cv, angles...);
            },
            raw);
        check_launch(name);
        return;
    }
    const uint64_t target_bit = uint64_t{1} << target;
    const std::tuple<Prepared...> values = prepare();
    std::apply(
        [&](auto... v) {
            if (controls.empty()) {
                const uint64_t count = uint64_t{1} << (n - 1);
                if (target == 0) {
                    quorra::launch_kernel(autopair.target0_no_control, gate_grid(count), block, 0, stream, count, state,
                                          v...);
                } else {
                    quorra::launch_kernel(autopair.no_control, gate_grid(count), block, 0, stream, count, state,
                                          target_bit, v...);
                }
                return;
            }
            // Controls and target are distinct qubits, so this many pairs meet the controls.
            const uint64_t count = uint64_t{1} << (n - static_cast<int64_t>(controls.size()) - 1);
            if (target == 0) {
                quorra::launch_kernel(autopair.target0_compact, gate_grid(count), block, 0, stream, count, state,
                                      cm | 1, cv & ~uint64_t{1}, v...);
            } else if (autopair.state_scan != nullptr) {
                const uint64_t items = uint64_t{1} << n;
                quorra::launch_kernel(autopair.state_scan, gate_grid(items), block, 0, stream, items, state, target_bit,
                                      cm, cv);
            } else {
                quorra::launch_kernel(autopair.compact, gate_grid(count), block, 0, stream, count, state,
                                      cm | target_bit, cv & ~target_bit, target_bit, v...);
            }
        },
        values);
    check_launch(name);
}

// The launcher of a gate without angles: no raw parameters, no prepared values.
template <typename T>
void launch_fixed_gate(const char* name, int64_t n, CuComplex<T>* state, int32_t target,
                       const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state,
                       cudaStream_t stream, KernelMode mode, const PairKernels<T>& pair_kernels,
                       const AutoPairKernels<T>& autopair) {
    launch_single_qubit(name, n, state, target, controls, control_state, stream, mode, pair_kernels, std::tuple<>{},
                        autopair, [] { return std::tuple<>{}; });
}

// The launcher of RX, RY and RZ: the raw angle for the pair kernels; the two values (a, b) of
// the gate's operation, built once on the host by make_op, for the AutoPair kernels.
template <typename T, typename Op>
void launch_rotation(const char* name, int64_t n, CuComplex<T>* state, int32_t target,
                     const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state, T theta,
                     cudaStream_t stream, KernelMode mode, const PairKernels<T, T>& pair_kernels,
                     const AutoPairKernels<T, CuComplex<T>, CuComplex<T>>& autopair, Op (*make_op)(T)) {
    launch_single_qubit(name, n, state, target, controls, control_state, stream, mode, pair_kernels,
                        std::make_tuple(theta), autopair, [=] {
                            const Op op = make_op(theta);
                            return std::make_tuple(op.a, op.b);
                        });
}

// Explicit float and double instances of a launcher, for the declarations in velqa_gates.cuh.
#define VELQA_INSTANTIATE_FIXED_GATE(LAUNCHER)                                                        \
    template void LAUNCHER<float>(int64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&,   \
                                  const std::vector<int64_t>&, cudaStream_t, KernelMode);             \
    template void LAUNCHER<double>(int64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&, \
                                   const std::vector<int64_t>&, cudaStream_t, KernelMode);

#define VELQA_INSTANTIATE_ONE_ANGLE_GATE(LAUNCHER)                                                    \
    template void LAUNCHER<float>(int64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&,   \
                                  const std::vector<int64_t>&, float, cudaStream_t, KernelMode);      \
    template void LAUNCHER<double>(int64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&, \
                                   const std::vector<int64_t>&, double, cudaStream_t, KernelMode);

// A gate without angles from its pair operation OP<T>: the pair, all-state and AutoPair
// kernels (cu_NAME_kernel_pair, cu_NAME_kernel_all_state, NAME_autopair::*) and the launcher
// cu_NAME with its float and double instances.
#define VELQA_FIXED_GATE(NAME, OP)                                                                               \
    VELQA_PAIR_KERNELS(cu_##NAME##_kernel_pair, cu_##NAME##_kernel_all_state, (), OP<T>{})                       \
    namespace NAME##_autopair {                                                                                  \
        VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control, (), OP<T>{})            \
    }                                                                                                            \
    template <typename T>                                                                                        \
    void cu_##NAME(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,         \
                   const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {            \
        launch_fixed_gate<T>("cu_" #NAME, n, state, target, controls, control_state, stream, mode,               \
                             {cu_##NAME##_kernel_pair<T>, cu_##NAME##_kernel_all_state<T>},                      \
                             {NAME##_autopair::compact<T>, NAME##_autopair::target0_compact<T>,                  \
                              NAME##_autopair::no_control<T>, NAME##_autopair::target0_no_control<T>, nullptr}); \
    }                                                                                                            \
    VELQA_INSTANTIATE_FIXED_GATE(cu_##NAME)

// A rotation from its pair operation OP<T>{a, b} and MAKE_OP(theta), which forms it: the pair
// and all-state kernels take the raw angle and form the operation on the device; the
// AutoPair kernels take (a, b) as the launcher formed them once on the host.
#define VELQA_ROTATION_GATE(NAME, OP, MAKE_OP)                                                                 \
    VELQA_PAIR_KERNELS(cu_##NAME##_kernel_pair, cu_##NAME##_kernel_all_state, (, T theta), (MAKE_OP(theta)))   \
    namespace NAME##_autopair {                                                                                \
        VELQA_AUTOPAIR_KERNELS(compact, target0_compact, no_control, target0_no_control,                       \
                               (, CuComplex<T> a, CuComplex<T> b), (OP<T>{a, b}))                              \
    }                                                                                                          \
    template <typename T>                                                                                      \
    void cu_##NAME(int64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,       \
                   const std::vector<int64_t>& control_state, T theta, cudaStream_t stream, KernelMode mode) { \
        launch_rotation<T>("cu_" #NAME, n, state, target, controls, control_state, theta, stream, mode,        \
                           {cu_##NAME##_kernel_pair<T>, cu_##NAME##_kernel_all_state<T>},                      \
                           {NAME##_autopair::compact<T>, NAME##_autopair::target0_compact<T>,                  \
                            NAME##_autopair::no_control<T>, NAME##_autopair::target0_no_control<T>, nullptr},  \
                           MAKE_OP<T>);                                                                        \
    }                                                                                                          \
    VELQA_INSTANTIATE_ONE_ANGLE_GATE(cu_##NAME)

}  // namespace velqa
