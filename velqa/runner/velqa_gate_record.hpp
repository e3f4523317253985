// Gate records: the one native form of a circuit gate, and the control masks.
// Plain C++ (no CUDA); read by nvcc and g++ alike.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velqa {

enum class GateId : int32_t {
    X = 0,
    Y = 1,
    Z = 2,
    H = 3,
    S = 4,
    SDAG = 5,
    SQRTX = 6,
    SQRTXDAG = 7,
    SQRTY = 8,
    SQRTYDAG = 9,
    SWAP = 10,
    RX = 11,
    RY = 12,
    RZ = 13,
    PHASE = 14,
    GLOBAL_PHASE = 15,
    U = 16,
    UNITARY = 17,
};

struct GateRecord {
    GateId id = GateId::X;
    std::string name;
    std::vector<int64_t> control;
    std::vector<int64_t> control_state;
    std::vector<int64_t> target;
    std::vector<double> parameter;
    std::vector<std::complex<double>> matrix;  // matrix_dim x matrix_dim, row-major
    int64_t matrix_dim = 0;
    bool has_matrix = false;
};

struct ControlMasks {
    uint64_t control_mask = 0;
    uint64_t control_value = 0;
};

// An index i satisfies the controls when (i & control_mask) == control_value.
ControlMasks build_control_masks(const std::vector<int64_t>& control, const std::vector<int64_t>& control_state);

}  // namespace velqa
