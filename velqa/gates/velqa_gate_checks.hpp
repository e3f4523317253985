// Host-side checks and launch geometry shared by the multi-qubit gate launchers. Plain C++.
#pragma once

#include <cstdint>
#include <vector>

namespace velqa {

// The kernels index the state with every target and control bit and size their grids on the
// assumption that all of these qubits are distinct and below n; anything else would touch
// memory outside the state or silently skip amplitudes. Throws std::invalid_argument:
// "n must be in [1, 62]", "target qubit index must be in [0, n)", "target qubits must be
// distinct", "control qubit index must be in [0, n)", "control qubits must be distinct",
// "control qubit must not also be a target", checked in that order.
void check_gate_qubits(int64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls);

// Blocks of `block` threads covering `items` work items. A count beyond the device's grid
// limit gives one past the limit, so the launch fails with the runtime's configuration error
// instead of running a truncated grid.
inline uint32_t grid_blocks(uint64_t items, uint32_t block) {
    constexpr uint64_t max_blocks = 0x7fffffffULL;
    const uint64_t blocks = items / block + (items % block != 0 ? 1 : 0);
    return static_cast<uint32_t>(blocks > max_blocks ? max_blocks + 1 : blocks);
}

}  // namespace velqa
