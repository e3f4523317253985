// The fusion planner: group selection (quorra_fusion_select.hpp), strategy choice, offsets.
// Plain C++; no CUDA call.
#include "fusion/velqa_fusion_planner.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <iterator>
#include <quorra_fusion_select.hpp>

namespace velqa::fusion {

namespace {

// Fusability of each gate, worked out once per plan rather than once per examination.
class FusableCache {
public:
    FusableCache(const std::vector<GateRecord>& gates, bool fuse_swap)
        : gates_(gates), fuse_swap_(fuse_swap), known_(gates.size(), -1) {}
    bool operator()(int64_t index) {
        int8_t& known = known_[static_cast<size_t>(index)];
        if (known < 0) {
            known = is_fusable(gates_[static_cast<size_t>(index)], fuse_swap_) ? 1 : 0;
        }
        return known != 0;
    }

private:
    const std::vector<GateRecord>& gates_;
    bool fuse_swap_;
    std::vector<int8_t> known_;
};

// The planner's view of its gates for quorra::select_fusion_group.
struct GateView {
    int64_t n;
    const std::vector<GateRecord>& gates;
    FusableCache& fusable_cache;

    bool fusable(int64_t index) const { return fusable_cache(index); }
    bool qubits(int64_t index, uint64_t& mask) const {
        const GateRecord& gate = gates[static_cast<size_t>(index)];
        bool inside = true;
        const auto add = [&](int64_t q) {
            if (q < 0 || q >= n) {
                inside = false;
            } else {
                mask |= uint64_t{1} << q;
            }
        };
        std::for_each(gate.target.begin(), gate.target.end(), add);
        std::for_each(gate.control.begin(), gate.control.end(), add);
        return inside;
    }
};

template <typename Walk>
std::vector<int64_t> select_gates(int64_t n, const std::vector<GateRecord>& gates, Walk&& walk,
                                  int32_t sparsesharemem_qubits, int32_t max_gates_per_group, FusableCache& fusable) {
    return quorra::select_fusion_group(n, walk, GateView{n, gates, fusable}, sparsesharemem_qubits,
                                       max_gates_per_group);
}

// The cost table: relative times of the two fused strategies for a group of k qubits (k = 1
// to 7) on an n-qubit state, one row per breakpoint of n (14, 16, ..., 24) and k, in one
// unit per row. Columns: base, weight_h, weight_diagonal, weight_rxy, dense. A SparseShareMem
// group costs, for each of its gates, base + the gate's weight (halved per control); a DenseMM
// group costs dense whatever its gate count. The weights not in the table are the same in
// every row: weight_x = weight_y = weight_swap = 0 and weight_generic = 1, which sets the unit
// (the extra time of a general 2x2 gate over an X). choose_kind takes DenseMM when the
// gates' sum exceeds dense (times densemm_gate_threshold_scale). Only ratios within a row
// matter; `python bench/fusion_cost_table.py` measures the table on the machine it runs on
// and prints it in this form.
constexpr std::array<int64_t, 6> kCostSizes = {14, 16, 18, 20, 22, 24};
constexpr double kCostTable[6][7][5] = {
    {{0.2267309915, 0.4663068114, 0.4305625079, 0.4126543972, 19.2041906135},
     {0.1936448856, 0.4348312641, 0.363032671, 0.3665311539, 8.5737386278},
     {0.1431459377, 0.2813128378, 0.4272427678, 0.3937908037, 6.8351134242},
     {0.1294603588, 0.4418767094, 0.4124389028, 0.4355293568, 6.5972433902},
     {0.1237039937, 0.4583208321, 0.460926279, 0.3607089269, 9.057600289},
     {0.1134037947, 0.4200237677, 0.4096829191, 0.4169479613, 13.786782822},
     {0.1439097654, 0.423664967, 0.4280879442, 0.4036212946, 37.7536502156}},
    {{0.2499536785, 0.4327765383, 0.4159954925, 0.4257499481, 57.6349677667},
     {0.1935236047, 0.4456121759, 0.4125726482, 0.423592569, 25.1801967557},
     {0.1449774106, 0.4037705297, 0.378061025, 0.3857775592, 10.8604332565},
     {0.1237890392, 0.396066647, 0.3837057141, 0.4006176829, 4.6912812249},
     {0.1197688318, 0.4081205374, 0.3712236518, 0.4402610052, 8.2633751702},
     {0.1362211732, 0.4317386592, 0.3777549916, 0.4194927532, 16.1692801746},
     {0.1649626971, 0.4801643006, 0.4317395824, 0.4289294586, 41.3435396318}},
    {{0.0623577125, 0.4048188074, 0.362952147, 0.3729365845, 49.9309167715},
     {0.0703647698, 0.3906147699, 0.3718418944, 0.3307937737, 22.3069560404},
     {0.0561787196, 0.4165279412, 0.3796676243, 0.3662542234, 9.1743349114},
     {0.0273214964, 0.3805148485, 0.3193008547, 0.4317869357, 4.1132001103},
     {0.0502081644, 0.3895374996, 0.3332073686, 0.3686740557, 8.1324914859},
     {0.0329637366, 0.4051349311, 0.3835218069, 0.3472308097, 13.8599167934},
     {0.0358002777, 0.3943217704, 0.3348748251, 0.3444463187, 38.974152603}},
    {{0.0822500709, 0.3854695461, 0.3565873327, 0.3588609502, 64.7908634594},
     {0.0696640313, 0.3810080609, 0.3436941078, 0.3645507405, 26.2292490027},
     {0.0313966879, 0.3594153364, 0.3465040022, 0.3722762727, 9.7276431628},
     {0.035598456, 0.4557457366, 0.4002886409, 0.3975650198, 5.361101005},
     {0.0355785774, 0.4282642425, 0.3860270158, 0.3886413829, 8.5296332301},
     {0.0230712973, 0.4095765687, 0.3638007416, 0.3653354283, 15.0465130124},
     {0.0328167196, 0.3981510212, 0.3833523026, 0.3805736397, 40.3674190239}},
    {{0.0386908556, 0.4082006527, 0.3790144781, 0.3682198856, 65.187438734},
     {0.0563003912, 0.3952628431, 0.352385924, 0.3629833039, 27.303781458},
     {0.0396924953, 0.4131644747, 0.3718221339, 0.3810398916, 12.8582993879},
     {0.0360903995, 0.3751837202, 0.3803791644, 0.3883155239, 6.1494884912},
     {0.0325545535, 0.378395453, 0.3689890005, 0.3590252857, 8.6392121369},
     {0.0385665957, 0.4152876809, 0.3843099939, 0.3462436183, 16.377333944},
     {0.0340686411, 0.3788890351, 0.3484452258, 0.3377141553, 48.1268758089}},
    {{0.0646315801, 0.3935932135, 0.3650757826, 0.3625834006, 69.7297370062},
     {0.0412030846, 0.3904604122, 0.3810597341, 0.3726857492, 28.4554961237},
     {0.041750792, 0.3345039189, 0.3369325833, 0.3451052982, 12.7023134529},
     {0.0271617336, 0.3967623538, 0.3566315969, 0.3739319939, 5.5504598856},
     {0.0542495392, 0.32280267, 0.3501258331, 0.3638225633, 10.2329091177},
     {0.030737535, 0.4368380848, 0.3659103299, 0.3699950918, 16.1127148904},
     {0.039171289, 0.4005399489, 0.3511638542, 0.3670682421, 45.1368155348}},
};

DenseMMCostRow cost_row(size_t size_index, int64_t kc) {
    const double* v = kCostTable[size_index][kc - 1];
    return DenseMMCostRow{v[0], 0.0, 0.0, v[1], v[2], v[3], 1.0, 0.0, v[4]};
}

double gate_weight(const DenseMMCostRow& row, GateId id) {
    switch (id) {
        case GateId::X:
            return row.weight_x;
        case GateId::Y:
            return row.weight_y;
        case GateId::H:
            return row.weight_h;
        case GateId::Z:
        case GateId::S:
        case GateId::SDAG:
        case GateId::RZ:
        case GateId::PHASE:
            return row.weight_diagonal;
        case GateId::RX:
        case GateId::RY:
            return row.weight_rxy;
        case GateId::SWAP:
            return row.weight_swap;
        default:
            return row.weight_generic;
    }
}

// Remaining gates as a doubly linked list over indices: ascending walks from the head and
// removal of a planned gate are both cheap, so planning stays linear in the chunk's length.
class RemainingGates {
public:
    explicit RemainingGates(int64_t count)
        : next_(static_cast<size_t>(count) + 1), prev_(static_cast<size_t>(count) + 1), end_(count) {
        // Node `count` is the sentinel; prev_ of the first and next_ of the last point to it.
        for (int64_t i = 0; i <= count; ++i) {
            next_[static_cast<size_t>(i)] = i == count ? 0 : i + 1;
            prev_[static_cast<size_t>(i)] = i == 0 ? count : i - 1;
        }
    }
    bool empty() const { return first() == end_; }
    int64_t first() const { return next_[static_cast<size_t>(end_)]; }
    template <typename Visit>
    void walk(Visit&& visit) const {
        for (int64_t i = first(); i != end_ && visit(i); i = next_[static_cast<size_t>(i)]) {
        }
    }
    void remove(int64_t i) {
        const int64_t p = prev_[static_cast<size_t>(i)];
        const int64_t x = next_[static_cast<size_t>(i)];
        next_[static_cast<size_t>(p)] = x;
        prev_[static_cast<size_t>(x)] = p;
    }

private:
    std::vector<int64_t> next_;
    std::vector<int64_t> prev_;
    int64_t end_;
};

FusionGroupKind choose_kind(int64_t n, const std::vector<GateRecord>& gates, const std::vector<int64_t>& selected,
                            int64_t k, const FusionOptions& options) {
    if (options.densemm_min_qubits <= k && k <= options.densemm_max_qubits && k < n) {
        const DenseMMCostRow row = densemm_cost(n, k);
        double score = -options.densemm_gate_threshold_scale * row.dense;
        for (const int64_t index : selected) {
            const GateRecord& gate = gates[static_cast<size_t>(index)];
            score += row.base + std::ldexp(1.0, -static_cast<int>(gate.control.size())) * gate_weight(row, gate.id);
        }
        if (score > 0.0) {
            return FusionGroupKind::DenseMM;
        }
    }
    return FusionGroupKind::SparseShareMem;
}

}  // namespace

bool is_fusable(const GateRecord& gate, bool fuse_swap) {
    if (gate.control_state.size() != gate.control.size()) {
        return false;
    }
    if (gate.id == GateId::SWAP) {
        return fuse_swap && gate.target.size() == 2 && gate.target[0] != gate.target[1];
    }
    std::complex<double> m[4];
    return gate_matrix_2x2(gate, m);
}

std::vector<int64_t> select_fusion_gates(int64_t n, const std::vector<GateRecord>& gates,
                                         const std::vector<int64_t>& remaining, int32_t sparsesharemem_qubits,
                                         int32_t max_gates_per_group, bool fuse_swap) {
    const auto walk = [&remaining](auto&& visit) {
        for (const int64_t index : remaining) {
            if (!visit(index)) {
                return;
            }
        }
    };
    FusableCache fusable(gates, fuse_swap);
    return select_gates(n, gates, walk, sparsesharemem_qubits, max_gates_per_group, fusable);
}

DenseMMCostRow densemm_cost(int64_t n, int64_t k) {
    const int64_t kc = std::clamp<int64_t>(k, 1, 7);
    if (n <= kCostSizes.front()) {
        return cost_row(0, kc);
    }
    if (n >= kCostSizes.back()) {
        return cost_row(kCostSizes.size() - 1, kc);
    }
    size_t hi = 0;
    while (kCostSizes[hi] < n) {
        ++hi;
    }
    const DenseMMCostRow a = cost_row(hi - 1, kc);
    const DenseMMCostRow b = cost_row(hi, kc);
    const double t =
        static_cast<double>(n - kCostSizes[hi - 1]) / static_cast<double>(kCostSizes[hi] - kCostSizes[hi - 1]);
    const auto mix = [t](double lo, double high) { return lo + t * (high - lo); };
    return DenseMMCostRow{mix(a.base, b.base),
                          mix(a.weight_x, b.weight_x),
                          mix(a.weight_y, b.weight_y),
                          mix(a.weight_h, b.weight_h),
                          mix(a.weight_diagonal, b.weight_diagonal),
                          mix(a.weight_rxy, b.weight_rxy),
                          mix(a.weight_generic, b.weight_generic),
                          mix(a.weight_swap, b.weight_swap),
                          mix(a.dense, b.dense)};
}

FusionPlan plan_fusion_chunk(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options) {
    FusionPlan plan;
    RemainingGates remaining(static_cast<int64_t>(gates.size()));
    FusableCache fusable(gates, options.fuse_swap);
    while (!remaining.empty()) {
        std::vector<int64_t> selected = select_gates(
            n, gates, [&remaining](auto&& visit) { remaining.walk(visit); }, options.sparsesharemem_qubits,
            options.max_gates_per_group, fusable);
        if (selected.empty()) {
            selected.push_back(remaining.first());
        }
        FusionGroup group;
        uint64_t active_mask = 0;
        for (const int64_t index : selected) {
            const GateRecord& gate = gates[static_cast<size_t>(index)];
            for (const int64_t q : quorra::operation_qubits(gate.target, gate.control)) {
                group.active_qubits.push_back(q);
            }
        }
        std::sort(group.active_qubits.begin(), group.active_qubits.end());
        group.active_qubits.erase(std::unique(group.active_qubits.begin(), group.active_qubits.end()),
                                  group.active_qubits.end());
        if (selected.size() > 1) {
            auto k = static_cast<int64_t>(group.active_qubits.size());
            group.kind = choose_kind(n, gates, selected, k, options);
            if (group.kind == FusionGroupKind::SparseShareMem && options.pad_sparsesharemem) {
                // Selected gates lie in [0, n), so every active qubit fits the mask.
                for (const int64_t q : group.active_qubits) {
                    active_mask |= uint64_t{1} << q;
                }
                for (int64_t i = 0; i < n && k < options.sparsesharemem_qubits; ++i) {
                    if ((active_mask & (uint64_t{1} << i)) == 0) {
                        group.active_qubits.push_back(i);
                        ++k;
                    }
                }
                std::sort(group.active_qubits.begin(), group.active_qubits.end());
            }
            group.matrix_gates.reserve(selected.size());
            for (const int64_t index : selected) {
                group.matrix_gates.push_back(make_matrix_gate(gates[static_cast<size_t>(index)], group.active_qubits));
            }
            if (group.kind == FusionGroupKind::DenseMM) {
                group.dense_matrix = build_dense_matrix(group.matrix_gates, static_cast<int>(k));
            }
        }
        for (const int64_t index : selected) {
            remaining.remove(index);
        }
        group.gate_indices = std::move(selected);
        plan.groups.push_back(std::move(group));
    }
    for (FusionGroup& group : plan.groups) {
        if (group.kind == FusionGroupKind::SparseShareMem) {
            group.matrix_gate_offset = plan.total_matrix_gates;
            plan.total_matrix_gates += group.matrix_gates.size();
        } else if (group.kind == FusionGroupKind::DenseMM) {
            group.dense_matrix_offset = plan.total_dense_elements;
            plan.total_dense_elements += group.dense_matrix.size();
        }
    }
    return plan;
}

}  // namespace velqa::fusion
