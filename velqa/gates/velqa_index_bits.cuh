// The shared index arithmetic (quorra_bits.cuh) under velqa's names.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <quorra_bits.cuh>

namespace velqa {

using quorra::deposit_bits;
using quorra::expand_index;
using quorra::global_thread_index;
using quorra::grid_blocks;
using quorra::insert_zero_at;
using quorra::insert_zero_bit;
using quorra::insert_zero_bits;
using quorra::insert_zero_pair;
using quorra::masked_add;
using quorra::masked_sub;

}  // namespace velqa
