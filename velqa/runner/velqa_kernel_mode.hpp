// How the runner maps each gate onto GPU threads. Plain C++.
#pragma once

#include <cstdint>

namespace velqa {

enum class KernelMode : int32_t {
    AllState = 0,        // one thread per amplitude
    Pair = 1,            // one thread per amplitude pair of the target
    PairAuto = 2,        // specialised pair kernels by control count and target (default)
    PairAutoFusion = 3,  // plan into fused groups first, single gates as PairAuto
};

}  // namespace velqa
