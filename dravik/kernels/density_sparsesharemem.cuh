// Fused density groups: the gate record the planner builds and the shared-memory kernel
// reads, and the host launcher that applies one group's records tile by tile.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "../state/dravik_device_state.cuh"

namespace quorra::dravik {

enum class DensityGateKind : int32_t { Matrix = 0, Diagonal = 1, Flip = 2, Channel = 3 };

// One operation of a fused group, on local bits of the group's tile (local bit b is the
// group's b-th active qubit). Built in double precision; a complex64 run converts it field
// by field. Declared once for host and device code.
template <typename T>
struct DeviceDensityGate {
    int32_t kind = static_cast<int32_t>(DensityGateKind::Matrix);
    int32_t target = 0;                 // local bit of the single target
    int32_t control_mask = 0;           // local bits of the controls
    int32_t control_values = 0;         // those whose control_state is 1
    CuComplex<T> matrix[4] = {};        // 2x2 row-major unitary (Matrix)
    CuComplex<T> diag0 = {T(1), T(0)};  // diagonal factors (Diagonal)
    CuComplex<T> diag1 = {T(1), T(0)};
    int32_t flip_mask = 0;     // 1 << target (Flip)
    int32_t channel_kind = 0;  // ChannelKind 1 to 5 (Channel)
    T channel_parameter = T(0);
};

// The record in precision T: complex numbers and the parameter narrowed, integers as they are.
template <typename T>
DeviceDensityGate<T> convert_density_gate(const DeviceDensityGate<double>& gate) {
    const auto narrow = [](CuComplex<double> z) { return CuComplex<T>{static_cast<T>(z.re), static_cast<T>(z.im)}; };
    DeviceDensityGate<T> out;
    out.kind = gate.kind;
    out.target = gate.target;
    out.control_mask = gate.control_mask;
    out.control_values = gate.control_values;
    for (int e = 0; e < 4; ++e) {
        out.matrix[e] = narrow(gate.matrix[e]);
    }
    out.diag0 = narrow(gate.diag0);
    out.diag1 = narrow(gate.diag1);
    out.flip_mask = gate.flip_mask;
    out.channel_kind = gate.channel_kind;
    out.channel_parameter = static_cast<T>(gate.channel_parameter);
    return out;
}

// Refuses a record the kernel cannot apply inside a 2^k x 2^k tile (target or controls
// outside the k local bits, a control on the target, an unknown kind or channel).
void check_density_gate(const DeviceDensityGate<double>& gate, int64_t k);

constexpr int64_t kMaxFusedQubits = 5;

// Applies `gate_count` records (in device memory) to every 2^k x 2^k tile over the qubits of
// `active_mask`: min(tiles, 65535) blocks of one thread per register cube (at least 32),
// 4^k elements of shared memory.
template <typename T>
void launch_density_sparsesharemem(int64_t dimension, CuComplex<T>* data, uint64_t active_mask, int64_t k,
                                   const DeviceDensityGate<T>* gates, int64_t gate_count, cudaStream_t stream);

}  // namespace quorra::dravik
