// Control masks of a gate record. Plain C++.
#include "velqa_gate_record.hpp"

#include <stdexcept>

namespace velqa {

ControlMasks build_control_masks(const std::vector<int64_t>& control, const std::vector<int64_t>& control_state) {
    if (control.size() != control_state.size()) {
        throw std::invalid_argument("controls.size() != control_state.size()");
    }
    ControlMasks masks;
    for (size_t i = 0; i < control.size(); ++i) {
        if (control[i] < 0 || control[i] > 62) {
            throw std::invalid_argument("control qubit index must be in [0, 62]");
        }
        if (control_state[i] != 0 && control_state[i] != 1) {
            throw std::invalid_argument("control_state must contain only 0/1");
        }
        const uint64_t bit = uint64_t{1} << control[i];
        masks.control_mask |= bit;
        if (control_state[i] == 1) {
            masks.control_value |= bit;
        }
    }
    return masks;
}

}  // namespace velqa
