// The order in which the stand-in runs a block's threads between barriers: alternating by
// default, shuffled per phase under QUORRA_HOSTCUDA_ORDER=shuffle, so that a store from the
// wrong thread shows whatever the number of barriers before it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "hostcuda_test_support.h"

namespace {

using hostcuda_test::DeviceBuffer;
using hostcuda_test::ScopedEnv;
using hostcuda_test::StandInTest;

constexpr unsigned kMaxPhases = 5;
constexpr unsigned kOrderBlock = 32;

// Every thread of a block stores its index into one slot after `barriers` barriers, the
// lost update of a kernel that should let one thread store. The shared write keeps the
// kernel off the spread switch's warp splitting, whose pieces run on different OS threads.
__global__ void all_threads_store_kernel(unsigned barriers, unsigned* slot) {
    QUORRA_SHARED_ARRAY(unsigned, scratch, 1);
    for (unsigned b = 0; b < barriers; ++b) {
        __syncthreads();
    }
    scratch[0] = threadIdx.x;
    slot[blockIdx.x] = threadIdx.x;
}

// Records, for each of `phases` phases, the order in which the threads of a block ran:
// order[(block * phases + phase) * blockDim.x + position] = thread. With one phase the
// kernel has no barrier. Threads of one block run on one OS thread, so the counters need
// no atomics; the shared write keeps the kernel off warp splitting.
__global__ void record_order_kernel(unsigned phases, unsigned* counters, unsigned* order) {
    QUORRA_SHARED_ARRAY(unsigned, scratch, 1);
    scratch[0] = threadIdx.x;
    for (unsigned p = 0; p < phases; ++p) {
        if (p > 0) {
            __syncthreads();
        }
        const unsigned at = counters[blockIdx.x * phases + p]++;
        order[(blockIdx.x * phases + p) * blockDim.x + at] = threadIdx.x;
    }
}

class HostStandInThreadOrder : public StandInTest {};

std::vector<unsigned> last_writers(unsigned barriers, unsigned blocks) {
    DeviceBuffer<unsigned> slot(blocks);
    quorra::launch_kernel(all_threads_store_kernel, dim3(blocks), dim3(kOrderBlock), 0, nullptr, barriers, slot.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return slot.download();
}

// The gap the shuffled order closes: alternating, the last thread to store is fixed by the
// parity of the barrier count, so a kernel whose right thread is the one the parity picks
// passes however many threads store.
TEST_F(HostStandInThreadOrder, AlternatingOrderFixesTheLastWriterByBarrierParity) {
    ScopedEnv order("QUORRA_HOSTCUDA_ORDER", nullptr);
    for (unsigned barriers = 0; barriers < 4; ++barriers) {
        const unsigned expected = barriers % 2 == 1 ? 0 : kOrderBlock - 1;
        for (const unsigned writer : last_writers(barriers, 8)) {
            EXPECT_EQ(writer, expected) << barriers << " barriers";
        }
    }
}

// Shuffled, every thread of the block is the last writer somewhere among 64 blocks, at
// every barrier count: a lost update shows whichever thread ought to store.
TEST_F(HostStandInThreadOrder, ShuffledOrderLetsEveryThreadStoreLastAtAnyBarrierCount) {
    ScopedEnv order("QUORRA_HOSTCUDA_ORDER", "shuffle");
    for (const char* seed : std::vector<const char*>{"1", "2", "18446744073709551615", nullptr}) {
        ScopedEnv seeded("QUORRA_HOSTCUDA_ORDER_SEED", seed);
        for (unsigned barriers = 0; barriers < 4; ++barriers) {
            const std::vector<unsigned> writers = last_writers(barriers, 256);
            for (const unsigned right : {0U, kOrderBlock / 2, kOrderBlock - 1}) {
                EXPECT_NE(std::count(writers.begin(), writers.end(), right), static_cast<long>(writers.size()))
                    << "thread " << right << " stored last in every block after " << barriers << " barriers";
            }
            for (unsigned t = 0; t < kOrderBlock; ++t) {
                EXPECT_GT(std::count(writers.begin(), writers.end(), t), 0)
                    << "thread " << t << " never stored last after " << barriers << " barriers (seed "
                    << (seed ? seed : "drawn") << ")";
            }
        }
    }
}

std::vector<unsigned> recorded_orders(unsigned phases, unsigned blocks) {
    DeviceBuffer<unsigned> counters(static_cast<size_t>(blocks) * phases);
    DeviceBuffer<unsigned> order(static_cast<size_t>(blocks) * phases * kOrderBlock);
    EXPECT_EQ(cudaMemset(counters.get(), 0, counters.bytes()), cudaSuccess);
    quorra::launch_kernel(record_order_kernel, dim3(blocks), dim3(kOrderBlock), 0, nullptr, phases, counters.get(),
                          order.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    return order.download();
}

// Every phase runs each thread exactly once; phases and blocks differ; one seed repeats.
TEST_F(HostStandInThreadOrder, ShuffledPhasesArePermutationsThatDifferAndRepeatWithTheSeed) {
    ScopedEnv order("QUORRA_HOSTCUDA_ORDER", "shuffle");
    ScopedEnv seed("QUORRA_HOSTCUDA_ORDER_SEED", "12345");
    constexpr unsigned kPhases = kMaxPhases;
    constexpr unsigned kBlocks = 4;
    const std::vector<unsigned> first = recorded_orders(kPhases, kBlocks);
    std::vector<std::vector<unsigned>> seen;
    for (unsigned b = 0; b < kBlocks; ++b) {
        for (unsigned p = 0; p < kPhases; ++p) {
            const auto begin = first.begin() + (b * kPhases + p) * kOrderBlock;
            std::vector<unsigned> phase(begin, begin + kOrderBlock);
            std::vector<unsigned> sorted = phase;
            std::sort(sorted.begin(), sorted.end());
            for (unsigned t = 0; t < kOrderBlock; ++t) {
                ASSERT_EQ(sorted[t], t) << "block " << b << " phase " << p << " is not a permutation";
            }
            EXPECT_EQ(std::find(seen.begin(), seen.end(), phase), seen.end())
                << "block " << b << " phase " << p << " repeats an earlier order";
            seen.push_back(phase);
        }
    }
    EXPECT_EQ(recorded_orders(kPhases, kBlocks), first) << "the same seed gave another order";
    ScopedEnv other("QUORRA_HOSTCUDA_ORDER_SEED", "12346");
    EXPECT_NE(recorded_orders(kPhases, kBlocks), first) << "another seed gave the same order";
}

// Alternating, phases run forwards and backwards in turn, starting forwards.
TEST_F(HostStandInThreadOrder, AlternatingPhasesRunForwardsAndBackwards) {
    ScopedEnv order("QUORRA_HOSTCUDA_ORDER", "alternate");
    constexpr unsigned kPhases = 4;
    const std::vector<unsigned> orders = recorded_orders(kPhases, 1);
    for (unsigned p = 0; p < kPhases; ++p) {
        for (unsigned i = 0; i < kOrderBlock; ++i) {
            EXPECT_EQ(orders[p * kOrderBlock + i], p % 2 == 1 ? kOrderBlock - 1 - i : i) << "phase " << p;
        }
    }
}

// A block without barriers runs as a plain loop: shuffled, in a permutation of its own per
// block, so the thread that runs first (and decides that there is no barrier) varies too.
TEST_F(HostStandInThreadOrder, BarrierFreeBlocksRunInShuffledOrder) {
    constexpr unsigned kBlocks = 16;
    {
        ScopedEnv order("QUORRA_HOSTCUDA_ORDER", nullptr);
        const std::vector<unsigned> plain = recorded_orders(1, 1);
        for (unsigned i = 0; i < kOrderBlock; ++i) {
            EXPECT_EQ(plain[i], i);
        }
    }
    ScopedEnv order("QUORRA_HOSTCUDA_ORDER", "shuffle");
    ScopedEnv seed("QUORRA_HOSTCUDA_ORDER_SEED", "99");
    const std::vector<unsigned> orders = recorded_orders(1, kBlocks);
    std::vector<unsigned> firsts;
    for (unsigned b = 0; b < kBlocks; ++b) {
        std::vector<unsigned> sorted(orders.begin() + b * kOrderBlock, orders.begin() + (b + 1) * kOrderBlock);
        firsts.push_back(sorted[0]);
        std::sort(sorted.begin(), sorted.end());
        for (unsigned t = 0; t < kOrderBlock; ++t) {
            ASSERT_EQ(sorted[t], t) << "block " << b << " is not a permutation";
        }
    }
    std::sort(firsts.begin(), firsts.end());
    EXPECT_GT(std::unique(firsts.begin(), firsts.end()) - firsts.begin(), 4) << "the first thread hardly varies";
}

TEST_F(HostStandInThreadOrder, UnknownOrderOrSeedRefusesTheLaunch) {
    DeviceBuffer<unsigned> slot(1);
    ASSERT_EQ(cudaMemset(slot.get(), 0xab, sizeof(unsigned)), cudaSuccess);
    struct Case {
        const char* order;
        const char* seed;
    };
    for (const Case& bad : {Case{"reversed", nullptr}, Case{"Shuffle", nullptr}, Case{"shuffle", "seven"},
                            Case{"shuffle", "-1"}, Case{"shuffle", "18446744073709551616"}, Case{"shuffle", "12x"}}) {
        ScopedEnv order("QUORRA_HOSTCUDA_ORDER", bad.order);
        ScopedEnv seed("QUORRA_HOSTCUDA_ORDER_SEED", bad.seed);
        quorra::launch_kernel(all_threads_store_kernel, dim3(1), dim3(kOrderBlock), 0, nullptr, 1U, slot.get());
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue) << bad.order << " / " << (bad.seed ? bad.seed : "-");
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(slot.download()[0], 0xababababU) << "a refused launch ran";
    }
}

}  // namespace
