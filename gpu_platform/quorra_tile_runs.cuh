// The tile loop of the shared-memory kernels of both modules: a block walks its tiles, takes
// each tile's records in runs that fit a register cube (next_cube_run), and meets the other
// threads of the block only between runs and between tiles. Each module brings the hooks that
// know its tile: where a cube lies in the state and in shared memory, and what a record does.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "quorra_cube_run.cuh"

namespace quorra {

// A run of records as the tile loop hands it to the hooks.
struct TileRun {
    uint32_t cube_bits;  // the run's C local bits, which a cube spans
    uint32_t others;     // the other local bits, which number the cubes
    bool in_state;       // the tile's first or last run: its cubes come from or go to the state
};

// Applies records 0 .. record_count - 1 in order to the tiles blockIdx.x, + gridDim.x, ...
// below tile_count. A tile has local bits below `size` (= 2^k; along each axis where the tile
// is square) and `cubes` cubes a run. The first run of a tile loads its cubes straight from the
// state and the last run stores them there, so neither stages the tile through shared memory;
// a tile of one run has no barrier. The tile count is the same for every thread of the block,
// and every thread computes the same runs, so all meet the same barriers.
//
// The hooks, members of `tiles`:
//   mixed(r)                    local bits record r mixes (at most two; see next_cube_run)
//   enter_tile(t)               tile t comes next (in rising order)
//   enter_run(run)              once a run, before its cubes
//   place(c, run)               cube c of the run, its places set and its elements not loaded
//   load_state, load_tile       fill a cube from the state or from the shared tile
//   store_state, store_tile     write a cube back
//   apply(cube, cube_bits, r)   record r on a cube that holds every bit it mixes
template <int C, typename Index, typename Tiles>
__device__ __forceinline__ void run_tiles(Tiles& tiles, uint64_t tile_count, Index record_count, uint32_t size,
                                          uint32_t cubes) {
    for (uint64_t t = blockIdx.x; t < tile_count; t += gridDim.x) {
        tiles.enter_tile(t);
        for (Index first = 0; first < record_count;) {
            const CubeRun cube_run = next_cube_run<C>(first, record_count, size,
                                                      [&](int64_t r) { return tiles.mixed(static_cast<Index>(r)); });
            const Index end = static_cast<Index>(cube_run.end);
            const bool first_run = first == 0;
            const bool last_run = end == record_count;
            const TileRun run{cube_run.cube_bits, (size - 1) & ~cube_run.cube_bits, first_run || last_run};
            tiles.enter_run(run);
            if (!first_run) {
                __syncthreads();  // the previous run's cubes are all back in the tile
            }
            for (uint32_t c = threadIdx.x; c < cubes; c += blockDim.x) {
                auto cube = tiles.place(c, run);
                // Separate calls, not one pointer that may be either: the compiler then knows
                // which accesses are to shared memory.
                if (first_run) {
                    tiles.load_state(cube);
                } else {
                    tiles.load_tile(cube);
                }
                for (Index r = first; r < end; ++r) {
                    tiles.apply(cube, run.cube_bits, r);
                }
                if (last_run) {
                    tiles.store_state(cube);
                } else {
                    tiles.store_tile(cube);
                }
            }
            first = end;
        }
        // The next tile's first run must not refill the tile while other threads still read
        // this one's.
        if (t + gridDim.x < tile_count) {
            __syncthreads();
        }
    }
}

}  // namespace quorra
