// Index paths of 37-qubit states without their memory: each case reserves the whole state as
// untouched address space, fills only the amplitudes that up to three chosen blocks of the
// grid's upper half work on, runs just those blocks of the real launcher's grid and checks
// them against the test's own index arithmetic and matrix. Thread numbers pass 2^32,
// amplitude indices pass 2^35 and target and control bits sit above bit 31, so an index,
// shift or mask held in 32 bits in a kernel leaves the expected amplitudes unchanged.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "../large_index_tiles.h"
#include "gates/velqa_gates.cuh"
#include "gates/velqa_swap.cuh"
#include "gates/velqa_unitary.cuh"
#include "hostcuda_block_select.h"
#include "measure/velqa_measure_kernels.cuh"
#include "quorra_launch.cuh"
#include "state/velqa_device_state.cuh"

namespace {

using large_index::cd;
using large_index::load;
using large_index::qubit_mask;
using large_index::store;
using velqa::CuComplex;

constexpr int64_t kQubits = 37;

// The low bits of k fill, lowest first, the positions not in `taken`.
uint64_t spread(uint64_t k, uint64_t taken) { return large_index::deposit(k, ~taken); }

// How a kernel maps its threads, stated independently of the kernel: thread k works on the
// index spread(k, inserted) | fixed, acts there when the index's target bits equal `pattern`
// and the controls hold, and then rewrites the group of indices that differ only in the
// target bits by `u` (row bit j is targets[j]). Groups a thread leaves alone get `u_off`
// (empty: unchanged).
template <typename T>
struct Case {
    std::string name;
    std::vector<int64_t> targets;
    uint64_t control_mask = 0;
    uint64_t control_value = 0;
    uint64_t inserted = 0;
    uint64_t fixed = 0;
    uint64_t pattern = 0;
    uint32_t block_threads = 256;
    std::vector<cd> u;
    std::vector<cd> u_off;
    std::function<void(CuComplex<T>*)> launch;
};

// Index of row r of the group at `base`.
uint64_t group_index(uint64_t base, const std::vector<int64_t>& targets, uint64_t r) {
    uint64_t i = base;
    for (size_t j = 0; j < targets.size(); ++j) {
        if (((r >> j) & 1U) != 0) {
            i |= uint64_t{1} << targets[j];
        }
    }
    return i;
}

std::vector<cd> multiply(const std::vector<cd>& u, const std::vector<cd>& v) {
    if (u.empty()) {
        return v;
    }
    std::vector<cd> out(v.size());
    for (size_t r = 0; r < v.size(); ++r) {
        for (size_t c = 0; c < v.size(); ++c) {
            out[r] += u[r * v.size() + c] * v[c];
        }
    }
    return out;
}

template <typename T>
double tolerance() {
    return sizeof(T) == sizeof(float) ? 1e-5 : 1e-12;
}

template <typename T>
void run_case(const Case<T>& c) {
    SCOPED_TRACE(c.name);
    const uint64_t items = uint64_t{1} << (kQubits - std::popcount(c.inserted));
    const uint64_t blocks = items / c.block_threads;
    ASSERT_GE(items, uint64_t{1} << 33) << "the chosen threads must pass 2^32";
    hostcuda::SparseReservation memory((uint64_t{1} << kQubits) * sizeof(CuComplex<T>));
    ASSERT_TRUE(memory.valid()) << "the system refused to reserve the state's address space";
    auto* state = static_cast<CuComplex<T>*>(memory.data());

    // Blocks of the grid's upper half (thread numbers from 2^32 up), the top three bits of
    // their thread numbers running through all eight values from the top block down; the first
    // three of them on which some thread acts are run.
    const uint64_t target_mask = qubit_mask(c.targets);
    const auto thread_index = [&](uint64_t k) { return spread(k, c.inserted) | c.fixed; };
    const auto acts_at = [&](uint64_t index) {
        return (index & target_mask) == c.pattern && (index & c.control_mask) == c.control_value;
    };
    std::vector<unsigned long long> chosen;
    for (uint64_t p = 0; p < 8 && chosen.size() < 3; ++p) {
        const uint64_t b = blocks - 1 - p * (blocks / 16);
        bool any = false;
        for (uint64_t t = 0; t < c.block_threads; ++t) {
            any = any || acts_at(thread_index(b * c.block_threads + t));
        }
        if (any) {
            chosen.push_back(b);
        }
    }
    std::map<uint64_t, bool> groups;  // base index -> some chosen thread acts on it
    for (const unsigned long long b : chosen) {
        for (uint64_t t = 0; t < c.block_threads; ++t) {
            const uint64_t index = thread_index(b * c.block_threads + t);
            groups[index & ~target_mask] |= acts_at(index);
        }
    }
    const uint64_t dim = uint64_t{1} << c.targets.size();
    std::map<uint64_t, std::vector<cd>> before;
    uint64_t seed = 12345;
    int acting = 0;
    for (const auto& [base, acts] : groups) {
        std::vector<cd> v(dim);
        for (uint64_t r = 0; r < dim; ++r) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            v[r] = cd(static_cast<double>((seed >> 40) % 1000) / 1000.0 + 0.1,
                      static_cast<double>((seed >> 20) % 1000) / 1000.0 - 0.6);
            store(state, group_index(base, c.targets, r), v[r]);
            v[r] = load(state, group_index(base, c.targets, r));  // as rounded to T
        }
        before[base] = v;
        acting += acts ? 1 : 0;
    }
    ASSERT_GE(acting, 64) << "the chosen blocks must act on many groups";

    {
        hostcuda::BlockSelection selection(chosen);
        c.launch(state);
        // Queued work runs while the selection still holds.
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        ASSERT_EQ(selection.blocks_run(), chosen.size()) << "the grid does not reach the chosen blocks";
    }

    int mismatches = 0;
    for (const auto& [base, acts] : groups) {
        const std::vector<cd> expected = multiply(acts ? c.u : c.u_off, before[base]);
        for (uint64_t r = 0; r < dim && mismatches < 8; ++r) {
            const uint64_t i = group_index(base, c.targets, r);
            const cd got = load(state, i);
            if (std::abs(got - expected[r]) > tolerance<T>()) {
                ++mismatches;
                ADD_FAILURE() << "index " << i << (acts ? " (acted on)" : " (left alone)") << ": got " << got
                              << ", expected " << expected[r];
            }
        }
    }
}

// ---- matrices --------------------------------------------------------------------------------

const double kR = 1.0 / std::numbers::sqrt2;
const std::vector<cd> kH{kR, kR, kR, -kR};
const std::vector<cd> kX{0, 1, 1, 0};
const std::vector<cd> kSwap{1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};

// A fixed dense matrix (not unitary: every entry matters and none cancels by symmetry).
std::vector<cd> dense(uint64_t dim) {
    std::vector<cd> m(dim * dim);
    for (uint64_t i = 0; i < m.size(); ++i) {
        m[i] =
            cd(0.25 + 0.5 * std::cos(1.3 * static_cast<double>(i)), 0.5 * std::sin(0.7 * static_cast<double>(i) + 1));
    }
    return m;
}

std::vector<cd> scalar(cd value) { return {value}; }

// ---- cases -------------------------------------------------------------------------------------

struct Controls {
    std::vector<int64_t> qubits;
    std::vector<int64_t> values;
    uint64_t mask() const { return qubit_mask(qubits); }
    uint64_t value() const {
        uint64_t v = 0;
        for (size_t j = 0; j < qubits.size(); ++j) {
            v |= static_cast<uint64_t>(values[j]) << qubits[j];
        }
        return v;
    }
};

// One control above bit 32 and one among the lane bits, so a block holds groups that meet the
// controls and groups that do not.
const Controls kControls{{35, 2}, {1, 0}};
const Controls kNone{};

constexpr velqa::KernelMode kAllState = velqa::KernelMode::AllState;
constexpr velqa::KernelMode kPair = velqa::KernelMode::Pair;
constexpr velqa::KernelMode kAuto = velqa::KernelMode::PairAuto;

template <typename T>
Case<T> single_qubit(const std::string& name, int64_t target, const Controls& ctl, velqa::KernelMode mode,
                     uint64_t inserted, uint64_t fixed, const std::vector<cd>& u,
                     void (*gate)(int64_t, CuComplex<T>*, int32_t, const std::vector<int64_t>&,
                                  const std::vector<int64_t>&, cudaStream_t, velqa::KernelMode)) {
    Case<T> c;
    c.name = name;
    c.targets = {target};
    c.control_mask = ctl.mask();
    c.control_value = ctl.value();
    c.inserted = inserted;
    c.fixed = fixed;
    c.u = u;
    c.launch = [=](CuComplex<T>* state) {
        gate(kQubits, state, static_cast<int32_t>(target), ctl.qubits, ctl.values, nullptr, mode);
    };
    return c;
}

template <typename T>
std::vector<Case<T>> gate_cases() {
    std::vector<Case<T>> cases;
    const uint64_t t34 = uint64_t{1} << 34;
    const uint64_t cm = kControls.mask();
    const uint64_t cv = kControls.value();
    // Single-qubit family: all-state, pair and the four AutoPair kernels, and X's state scan.
    cases.push_back(single_qubit<T>("H all-state", 34, kControls, kAllState, 0, 0, kH, velqa::cu_h<T>));
    cases.push_back(single_qubit<T>("H pair", 34, kControls, kPair, t34, 0, kH, velqa::cu_h<T>));
    cases.push_back(single_qubit<T>("H compact", 34, kControls, kAuto, cm | t34, cv, kH, velqa::cu_h<T>));
    cases.push_back(single_qubit<T>("H target-0 compact", 0, kControls, kAuto, cm | 1, cv, kH, velqa::cu_h<T>));
    cases.push_back(single_qubit<T>("H no-control", 33, kNone, kAuto, uint64_t{1} << 33, 0, kH, velqa::cu_h<T>));
    cases.push_back(single_qubit<T>("H target-0 no-control", 0, kNone, kAuto, 1, 0, kH, velqa::cu_h<T>));
    cases.push_back(single_qubit<T>("X state scan", 34, kControls, kAuto, 0, 0, kX, velqa::cu_x<T>));
    cases.push_back(single_qubit<T>("X pair", 34, kControls, kPair, t34, 0, kX, velqa::cu_x<T>));

    // SWAP: q0 = 33 below q1 = 34 in bit order but named first.
    const auto swap = [&](const std::string& name, int64_t q0, int64_t q1, const Controls& ctl, velqa::KernelMode mode,
                          uint64_t inserted, uint64_t fixed, uint64_t pattern, uint32_t block) {
        Case<T> c;
        c.name = name;
        c.targets = {q0, q1};
        c.control_mask = ctl.mask();
        c.control_value = ctl.value();
        c.inserted = inserted;
        c.fixed = fixed;
        c.pattern = pattern;
        c.block_threads = block;
        c.u = kSwap;
        c.launch = [=](CuComplex<T>* state) {
            velqa::cu_swap<T>(kQubits, state, static_cast<int32_t>(q0), static_cast<int32_t>(q1), ctl.qubits,
                              ctl.values, nullptr, mode);
        };
        cases.push_back(c);
    };
    const uint64_t b33 = uint64_t{1} << 33;
    swap("SWAP all-state", 33, 34, kControls, kAllState, 0, 0, b33, 256);
    swap("SWAP pair", 33, 34, kControls, kPair, t34, 0, b33, 256);
    swap("SWAP control scan", 34, 33, kControls, kAuto, b33 | t34, 0, 0, 512);
    swap("SWAP target-0 compact", 0, 34, kControls, kAuto, cm | 1 | t34, cv, 0, 256);
    swap("SWAP no-control", 34, 33, kNone, kAuto, b33 | t34, 0, 0, 256);
    swap("SWAP target-0 no-control", 34, 0, kNone, kAuto, 1 | t34, 0, 0, 256);

    // UNITARY: one and two targets, in place and AutoPair.
    const auto unitary = [&](const std::string& name, const std::vector<int64_t>& targets, const Controls& ctl,
                             velqa::KernelMode mode, uint64_t inserted, uint64_t fixed) {
        Case<T> c;
        c.name = name;
        c.targets = targets;
        c.control_mask = ctl.mask();
        c.control_value = ctl.value();
        c.inserted = inserted;
        c.fixed = fixed;
        c.u = dense(uint64_t{1} << targets.size());
        c.launch = [targets, ctl, mode, u = c.u](CuComplex<T>* state) {
            velqa::cu_unitary<T>(kQubits, state, targets, ctl.qubits, ctl.values, u, int64_t{1} << targets.size(),
                                 nullptr, mode);
        };
        cases.push_back(c);
    };
    unitary("UNITARY 1q in place", {34}, kControls, kPair, t34, 0);
    unitary("UNITARY 1q compact", {34}, kControls, kAuto, cm | t34, cv);
    unitary("UNITARY 1q target-0 compact", {0}, kControls, kAuto, cm | 1, cv);
    unitary("UNITARY 1q no-control", {34}, kNone, kAuto, t34, 0);
    unitary("UNITARY 1q target-0 no-control", {0}, kNone, kAuto, 1, 0);
    unitary("UNITARY 2q in place", {34, 33}, kControls, kPair, t34 | b33, 0);
    unitary("UNITARY 2q compact", {34, 33}, kControls, kAuto, cm | t34 | b33, cv);
    unitary("UNITARY 2q no-control", {33, 34}, kNone, kAuto, t34 | b33, 0);
    unitary("UNITARY 2q target-0", {0, 34}, kNone, kAuto, 1 | t34, 0);
    unitary("UNITARY 2q target-0 controlled", {34, 0}, kControls, kAuto, cm | 1 | t34, cv);
    // Three to five targets run as shared-memory tiles whose 2048 blocks each walk a share of
    // all tiles, so a chosen block would touch the whole reserved state: their index
    // arithmetic is the tile plan's, tested on its own.

    // GLOBAL_PHASE: one thread per amplitude, controls only.
    Case<T> phase;
    phase.name = "GLOBAL_PHASE";
    phase.control_mask = cm;
    phase.control_value = cv;
    phase.u = scalar(std::polar(1.0, 0.8));
    phase.launch = [](CuComplex<T>* state) {
        velqa::cu_global_phase<T>(kQubits, state, kControls.qubits, kControls.values, T(0.8), nullptr);
    };
    cases.push_back(phase);

    // Collapse onto qubit 35 = 1 (match) at a grid of one amplitude per thread: matches are
    // scaled, every other amplitude is set to zero.
    Case<T> collapse;
    collapse.name = "collapse";
    collapse.control_mask = uint64_t{1} << 35;
    collapse.control_value = uint64_t{1} << 35;
    collapse.u = scalar(1.5 * 2.0);
    collapse.u_off = scalar(0.0);
    collapse.launch = [](CuComplex<T>* state) {
        const uint64_t blocks = (uint64_t{1} << kQubits) / 256;
        quorra::launch_kernel(velqa::measure_collapse_kernel<T>, dim3(static_cast<uint32_t>(blocks)), dim3(256), 0,
                              cudaStream_t{0}, kQubits, state, uint64_t{1} << 35, uint64_t{1} << 35, T(1.5), T(2.0));
    };
    cases.push_back(collapse);
    return cases;
}

template <typename T>
void run_gate_cases() {
    for (const Case<T>& c : gate_cases<T>()) {
        run_case(c);
    }
}

TEST(LargeIndex, GateAndCollapseKernelsComplex64) { run_gate_cases<float>(); }
TEST(LargeIndex, GateAndCollapseKernelsComplex128) { run_gate_cases<double>(); }

// The probability pass at one chosen work item near the top of a 37-qubit state, target 34:
// the block sums 256 lanes x 4 free-bit values into the partial sum of (bit 34 of the index, chunk).
template <typename T>
void run_probabilities() {
    hostcuda::SparseReservation memory((uint64_t{1} << kQubits) * sizeof(CuComplex<T>));
    ASSERT_TRUE(memory.valid()) << "the system refused to reserve the state's address space";
    auto* state = static_cast<CuComplex<T>*>(memory.data());
    const uint64_t lane_mask = 0xff;
    const uint64_t target = uint64_t{1} << 34;
    velqa::ProbsGeometry g{};
    g.lane_bits = 8;
    g.high_target_mask = target;
    g.free_mask = ((uint64_t{1} << kQubits) - 1) & ~target & ~lane_mask;
    g.lane_free_mask = lane_mask;
    g.per_thread_log2 = 2;
    g.chunks_log2 = std::popcount(g.free_mask) - g.per_thread_log2;
    g.work_items = uint64_t{1} << (1 + g.chunks_log2);
    g.batch = 1;

    const unsigned long long item = g.work_items - 3;  // high target bit set, high free bits set
    double expected[2] = {0.0, 0.0};
    uint64_t seed = 99;
    const uint64_t chunk = item & ((uint64_t{1} << g.chunks_log2) - 1);
    const uint64_t high = spread(item >> g.chunks_log2, ~target);
    for (uint64_t c = 0; c < 4; ++c) {
        const uint64_t free = spread((chunk << 2) + c, ~g.free_mask);
        for (uint64_t lane = 0; lane < 256; ++lane) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            const uint64_t i = high | free | lane;
            ASSERT_GE(i, uint64_t{1} << 35);
            store(state, i, cd(static_cast<double>((seed >> 40) % 100) / 100.0, 0.25));
            expected[(i >> 34) & 1U] += std::norm(load(state, i));
        }
    }

    // The pass writes one partial sum per (outcome, chunk): 2^(1 + chunks_log2) doubles,
    // reserved like the state; only the chosen item's entry is written.
    hostcuda::SparseReservation partials((uint64_t{1} << (1 + g.chunks_log2)) * sizeof(double));
    ASSERT_TRUE(partials.valid()) << "the system refused to reserve the partial sums";
    auto* sums = static_cast<double*>(partials.data());
    int64_t* targets = nullptr;
    const int64_t host_target = 34;
    ASSERT_EQ(cudaMalloc(&targets, sizeof(int64_t)), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(targets, &host_target, sizeof(int64_t), cudaMemcpyHostToDevice), cudaSuccess);
    {
        hostcuda::BlockSelection selection({item});
        quorra::launch_kernel(velqa::measure_probs_kernel<T>, dim3(static_cast<uint32_t>(g.work_items)), dim3(256), 0,
                              cudaStream_t{0}, kQubits, static_cast<const CuComplex<T>*>(state),
                              static_cast<const int64_t*>(targets), int64_t{1}, true, g, sums);
        EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(selection.blocks_run(), 1U);
    }
    EXPECT_EQ(cudaFree(targets), cudaSuccess);
    EXPECT_EQ(expected[0], 0.0);
    EXPECT_GT(expected[1], 1.0);
    // Outcome 1 (bit 34 set), this item's chunk; outcome 0 of the same chunk stays untouched.
    EXPECT_EQ(sums[chunk], 0.0);
    EXPECT_NEAR(sums[(uint64_t{1} << g.chunks_log2) | chunk], expected[1], 1e-9 * expected[1]);
}

TEST(LargeIndex, ProbabilityKernelComplex64) { run_probabilities<float>(); }
TEST(LargeIndex, ProbabilityKernelComplex128) { run_probabilities<double>(); }

// The facility itself: blocks outside the grid are skipped and counted as not run.
TEST(LargeIndex, BlockSelectionSkipsBlocksBeyondTheGrid) {
    hostcuda::BlockSelection selection({1, 7, 1ULL << 40});
    quorra::launch_kernel(velqa::measure_collapse_kernel<double>, dim3(4), dim3(1), 0, cudaStream_t{0}, int64_t{0},
                          static_cast<CuComplex<double>*>(nullptr), uint64_t{0}, uint64_t{0}, 1.0, 1.0);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    EXPECT_EQ(selection.blocks_run(), 1U);
}

}  // namespace
