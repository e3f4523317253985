// Launch geometry and argument checks shared by dravik's kernel launchers.
// Host code only; read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include "../state/dravik_device_state.cuh"
#include "dravik_kraus.cuh"
#include "dravik_unitary.cuh"

namespace quorra::dravik::launch {

constexpr unsigned kBlockThreads = 256;

// Every launcher refuses what would make a kernel touch memory outside the matrix, so
// a record that bypassed the runner's validation still cannot reach a kernel.
inline void check_dimension(int64_t dimension) {
    if (dimension < 1 || dimension > (int64_t{1} << kMaxDensityQubits) || (dimension & (dimension - 1)) != 0) {
        throw std::invalid_argument("density matrix dimension must be a power of two up to 2**15");
    }
}

// A single qubit of the matrix: one bit, inside [0, D).
inline void check_single_qubit_mask(int64_t dimension, uint64_t mask, const char* message) {
    if (mask == 0 || (mask & (mask - 1)) != 0 || mask >= static_cast<uint64_t>(dimension)) {
        throw std::invalid_argument(message);
    }
}

// The first `count` targets lie inside the matrix without repeats and, with the rest,
// make up all of its qubits. Returns their mask.
inline uint64_t check_targets(int64_t dimension, const DeviceTargets& targets, const char* message) {
    uint64_t mask = 0;
    for (int64_t b = 0; b < targets.count; ++b) {
        const int64_t t = targets.targets[b];
        if (t < 0 || t >= 62 || (int64_t{1} << t) >= dimension || ((mask >> t) & 1) != 0) {
            throw std::invalid_argument(message);
        }
        mask |= uint64_t{1} << t;
    }
    const int64_t qubits = targets.count + targets.rest_count;
    if (targets.rest_count < 0 || qubits >= 62 || (int64_t{1} << qubits) != dimension) {
        throw std::invalid_argument(message);
    }
    return mask;
}

inline unsigned blocks_for(uint64_t threads) {
    return static_cast<unsigned>((threads + kBlockThreads - 1) / kBlockThreads);
}

// One thread per matrix element: block (32, 8), grid (ceil(D/32), ceil(D/8)).
inline void element_geometry(int64_t dimension, dim3& grid, dim3& block) {
    const auto d = static_cast<unsigned>(dimension);
    block = dim3(32, 8, 1);
    grid = dim3((d + 31) / 32, (d + 7) / 8, 1);
}

// Calls launch(std::integral_constant<int, kind>) for a channel kind 1 to 5, so each kind
// gets its own kernel instantiation; anything else is refused.
template <typename Launch>
void with_channel_kind(int32_t kind, Launch&& launch) {
    switch (kind) {
        case kChannelBitFlip:
            return launch(std::integral_constant<int, kChannelBitFlip>{});
        case kChannelPhaseFlip:
            return launch(std::integral_constant<int, kChannelPhaseFlip>{});
        case kChannelDepolarizing:
            return launch(std::integral_constant<int, kChannelDepolarizing>{});
        case kChannelAmplitudeDamping:
            return launch(std::integral_constant<int, kChannelAmplitudeDamping>{});
        case kChannelPhaseDamping:
            return launch(std::integral_constant<int, kChannelPhaseDamping>{});
        default:
            throw std::runtime_error("unknown noise channel kind");
    }
}

}  // namespace quorra::dravik::launch
