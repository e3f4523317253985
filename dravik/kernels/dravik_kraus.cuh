// Host launchers of the built-in noise channels and of general Kraus maps, and the channel
// factors every channel kernel shares.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "../state/dravik_device_state.cuh"
#include "dravik_unitary.cuh"

namespace quorra::dravik {

// ChannelKind values (quorra::density), repeated here so device code needs no host header.
constexpr int32_t kChannelBitFlip = 1;
constexpr int32_t kChannelPhaseFlip = 2;
constexpr int32_t kChannelDepolarizing = 3;
constexpr int32_t kChannelAmplitudeDamping = 4;
constexpr int32_t kChannelPhaseDamping = 5;

constexpr int64_t kMaxKrausKernelTargets = 3;

__host__ __device__ constexpr bool is_channel_kind(int32_t kind) {
    return kind >= kChannelBitFlip && kind <= kChannelPhaseDamping;
}

// Phase flip and phase damping only scale the coherences of a block; a and d stay.
__host__ __device__ constexpr bool channel_only_scales_coherences(int32_t kind) {
    return kind == kChannelPhaseFlip || kind == kChannelPhaseDamping;
}

__host__ __device__ __forceinline__ float channel_sqrt(float x) { return sqrtf(x); }
__host__ __device__ __forceinline__ double channel_sqrt(double x) { return sqrt(x); }

// Every built-in channel maps a 2x2 block [[a, b], [c, d]] on its qubit linearly:
//   a' = stay0 a + into0 d,  d' = stay1 d + into1 a,  b' = keep b + cross c,  c' = keep c + cross b.
template <typename T>
struct ChannelFactors {
    T stay0;
    T into0;
    T stay1;
    T into1;
    T keep;
    T cross;
};

// The factors of channel `kind` with probability p, in the precision T. An unknown kind
// gives the identity (launchers refuse it before anything runs).
template <typename T>
__host__ __device__ __forceinline__ ChannelFactors<T> channel_factors(int32_t kind, T p) {
    const T one = T(1);
    const T zero = T(0);
    switch (kind) {
        case kChannelBitFlip:  // (1-p) rho + p X rho X: mixes a with d and b with c
            return {one - p, p, one - p, p, one - p, p};
        case kChannelPhaseFlip:  // (1-p) rho + p Z rho Z: coherences scaled by 1-2p
            return {one, zero, one, zero, one - T(2) * p, zero};
        case kChannelDepolarizing:  // populations move halfway by p/2, coherences scaled by 1-p
            return {one - p / T(2), p / T(2), one - p / T(2), p / T(2), one - p, zero};
        case kChannelAmplitudeDamping:  // |1> decays into |0> with probability p
            return {one, p, one - p, zero, channel_sqrt(one - p), zero};
        case kChannelPhaseDamping:  // coherences scaled by 1-p
            return {one, zero, one, zero, one - p, zero};
        default:
            return {one, zero, one, zero, one, zero};
    }
}

// Channel `channel_kind` (1 to 5) with probability p on the qubit of `target_mask`, one
// thread per element (block (32, 8)); only the threads of one quarter of the matrix work.
template <typename T>
void launch_channel(CuComplex<T>* data, int64_t dimension, uint64_t target_mask, int32_t channel_kind, T p,
                    cudaStream_t stream);

// rho <- sum_m K_m rho K_m^dagger on one to three targets; `matrices` holds kraus_count
// row-major 2^K x 2^K matrices one after the other, in device memory. No renormalisation.
template <typename T>
void launch_kraus(CuComplex<T>* data, int64_t dimension, const DeviceTargets& targets, int64_t kraus_count,
                  const CuComplex<T>* matrices, cudaStream_t stream);

}  // namespace quorra::dravik
