// Reductions of a distributed state: the outcome table measurement draws from, marginal
// probabilities, Pauli-string and matrix expectation values. Each rank reduces its own slice;
// rank 0 adds the ranks' shares in rank order and broadcasts, so every rank returns the same
// bits on every run. Host C++ with pybind11; device work through the single-state launchers.
#include <cuda_runtime.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "distributed/velqa_distributed_state.hpp"
#include "distributed/velqa_gate_localize.hpp"
#include "measure/velqa_expectation.cuh"
#include "quorra_outcome_order.hpp"
#include "runner/run_circuit.cuh"

namespace py = pybind11;

namespace velqa::distributed {

namespace {

double negated_if_odd(double v, uint64_t bits) { return (std::popcount(bits) & 1) != 0 ? -v : v; }

// Rank 0's values on every rank.
std::vector<double> broadcast_doubles(const MpiComm& comm, const std::vector<double>& on_root) {
    std::vector<uint8_t> bytes(on_root.size() * sizeof(double));
    if (!on_root.empty()) {
        std::memcpy(bytes.data(), on_root.data(), bytes.size());
    }
    comm.broadcast_bytes(bytes, 0);
    std::vector<double> values(bytes.size() / sizeof(double));
    if (!values.empty()) {
        std::memcpy(values.data(), bytes.data(), bytes.size());
    }
    return values;
}

uint64_t digest_of(const std::vector<PauliMasks>& masks) {
    GateRecord record;  // the records' digest covers integers
    for (const PauliMasks& m : masks) {
        record.target.push_back(static_cast<int64_t>(m.flip));
        record.target.push_back(static_cast<int64_t>(m.sign));
    }
    return hash_gate_records({record});
}

}  // namespace

DistributedState::TargetSplit DistributedState::split_targets(const std::vector<int64_t>& targets,
                                                              const std::string& endian, uint64_t r) const {
    const auto k = static_cast<int64_t>(targets.size());
    const int64_t local_bits = local_qubits();
    TargetSplit split;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t target = targets[static_cast<size_t>(j)];
        const int64_t logical = endian == "little" ? target : n_ - 1 - target;
        const int64_t bit = bit_of_qubit_[static_cast<size_t>(logical)];
        const uint64_t outcome_bit = uint64_t{1} << (k - 1 - j);
        if (bit < local_bits) {
            split.local_bits.push_back(bit);
            split.local_positions.push_back(j);
        } else {
            split.global_mask |= outcome_bit;
            if (((r >> (bit - local_bits)) & 1U) != 0) {
                split.rank_value |= outcome_bit;
            }
        }
    }
    return split;
}

template <typename T>
std::vector<double> DistributedState::outcome_table(const std::vector<int64_t>& targets, const std::string& endian) {
    const TargetSplit mine = split_targets(targets, endian, static_cast<uint64_t>(rank()));
    // The local table has targets[0] of the local ones as its most significant bit. With no
    // local target the slice's total is wanted: a one-bit table summed.
    const bool has_local = !mine.local_bits.empty();
    std::vector<double> partial;
    agreed([&] {
        py::gil_scoped_release unlocked;
        partial = measure_probabilities<T>(local_qubits(), slice_->amplitudes<T>(),
                                           has_local ? mine.local_bits : std::vector<int64_t>{0}, true, device_id());
        if (!has_local) {
            partial = {partial[0] + partial[1]};
        }
    });
    const auto entries = static_cast<int64_t>(partial.size());
    std::vector<double> gathered(rank() == 0 ? static_cast<size_t>(entries * size()) : 0);
    comm_->gather_doubles(partial.data(), gathered.data(), entries, 0);
    if (rank() != 0) {
        return {};
    }
    // Combined in rank order, every term in double: the same bits on every run.
    const auto k = static_cast<int64_t>(targets.size());
    const auto kl = static_cast<int64_t>(mine.local_positions.size());
    std::vector<double> table(size_t{1} << k, 0.0);
    for (int r = 0; r < size(); ++r) {
        const uint64_t base = split_targets(targets, endian, static_cast<uint64_t>(r)).rank_value;
        for (int64_t x = 0; x < entries; ++x) {
            uint64_t outcome = base;
            for (int64_t b = 0; b < kl; ++b) {
                if (((static_cast<uint64_t>(x) >> (kl - 1 - b)) & 1U) != 0) {
                    outcome |= uint64_t{1} << (k - 1 - mine.local_positions[static_cast<size_t>(b)]);
                }
            }
            table[outcome] += gathered[static_cast<size_t>(r * entries + x)];
        }
    }
    return table;
}

std::vector<double> DistributedState::sum_over_ranks(const std::vector<double>& mine) const {
    const auto count = static_cast<int64_t>(mine.size());
    std::vector<double> gathered(rank() == 0 ? mine.size() * static_cast<size_t>(size()) : 0);
    comm_->gather_doubles(mine.data(), gathered.data(), count, 0);
    std::vector<double> total;
    if (rank() == 0) {
        total.assign(mine.size(), 0.0);
        for (int r = 0; r < size(); ++r) {
            for (size_t i = 0; i < total.size(); ++i) {
                total[i] += gathered[static_cast<size_t>(r) * total.size() + i];
            }
        }
    }
    return broadcast_doubles(*comm_, total);
}

std::vector<double> DistributedState::probabilities(const std::vector<int64_t>& targets, const std::string& endian) {
    agreed([&] { validate_measure_args(n_, int64_t{1} << n_, targets, endian); });
    const std::vector<double> table = precision() == Precision::Complex128 ? outcome_table<double>(targets, endian)
                                                                           : outcome_table<float>(targets, endian);
    return quorra::lsb_first_outcomes(broadcast_doubles(*comm_, table), targets.size());
}

// A pass whose strings flip global bits pairs index i on a "lower" rank (its bit at the highest
// flipped global bit is 0) with i ^ flip on the partner rank. The pairs are shared out by the
// top local bit h: the lower rank sums those with bit h of i clear, receiving the partner's
// amplitudes at i ^ flip; the partner sums the others, receiving the lower rank's upper half.
// So each rank sends and receives half a slice, a chunk at a time through the exchange buffer.
// Returns this rank's raw slot sums with every sign of i applied: the local part per chunk
// (chunks start on multiples of their size) and the global part of the lower rank's number.
template <typename T>
std::vector<double> DistributedState::cross_pass_sums(const PauliPlan& plan, const PauliPlan::Pass& pass) {
    const int64_t local_bits = local_qubits();
    const uint64_t local_mask = (uint64_t{1} << local_bits) - 1;
    const auto me = static_cast<uint64_t>(rank());
    const uint64_t flipped_ranks = pass.flip >> local_bits;
    const uint64_t partner = me ^ flipped_ranks;
    const bool lower = (me & std::bit_floor(flipped_ranks)) == 0;
    const uint64_t half = uint64_t{1} << (local_bits - 1);
    const uint64_t chunk = std::bit_floor(std::min(static_cast<uint64_t>(exchange_elements_), half));
    const uint64_t flip_local = pass.flip & local_mask;
    const uint64_t flip_high = flip_local & ~(chunk - 1);
    std::vector<uint64_t> signs;
    std::vector<bool> use_imag;
    for (size_t s = pass.first_slot; s < pass.first_slot + pass.slot_count; ++s) {
        signs.push_back(plan.slots[s].sign & (chunk - 1));
        use_imag.push_back(plan.use_imag[s]);
    }
    auto* slice = slice_->amplitudes<T>();
    auto* recv = static_cast<CuComplex<T>*>(exchange_recv_.get());
    std::vector<double> raw(pass.slot_count, 0.0);
    for (uint64_t start = 0; start < half; start += chunk) {
        const uint64_t i_start = lower ? start : half + start;
        const uint64_t send_start = lower ? half + start : start ^ flip_high;
        transport_->exchange(slice + send_start, recv, static_cast<int64_t>(chunk), element_bytes(),
                             static_cast<int>(partner), [] {});
        const auto bytes = static_cast<int64_t>(chunk) * element_bytes();
        stats_.bytes_sent += bytes;
        stats_.bytes_received += bytes;
        ++stats_.messages_sent;
        ++stats_.messages_received;
        const CuComplex<T>* a = lower ? slice + i_start : recv;
        const CuComplex<T>* b = lower ? recv : slice + (i_start ^ flip_high);
        const std::vector<double> sums =
            pauli_cross_sums<T>(a, b, std::countr_zero(chunk), flip_local & (chunk - 1), signs, use_imag, device_id());
        for (size_t s = 0; s < raw.size(); ++s) {
            raw[s] += negated_if_odd(sums[s], i_start & plan.slots[pass.first_slot + s].sign);
        }
    }
    const uint64_t lower_rank_bits = (lower ? me : partner) << local_bits;
    for (size_t s = 0; s < raw.size(); ++s) {
        raw[s] = negated_if_odd(raw[s], lower_rank_bits & plan.slots[pass.first_slot + s].sign);
    }
    return raw;
}

template <typename T>
std::vector<double> DistributedState::pauli_shares(const std::vector<PauliMasks>& logical) {
    const int64_t local_bits = local_qubits();
    const uint64_t local_mask = (uint64_t{1} << local_bits) - 1;
    const uint64_t rank_bits = static_cast<uint64_t>(rank()) << local_bits;
    const auto physical = [this](uint64_t mask) {
        uint64_t out = 0;
        for (; mask != 0; mask &= mask - 1) {
            out |= uint64_t{1} << bit_of_qubit_[static_cast<size_t>(std::countr_zero(mask))];
        }
        return out;
    };
    std::vector<double> share(logical.size(), 0.0);
    std::vector<PauliMasks> local;
    std::vector<size_t> local_of;
    std::vector<PauliMasks> cross;
    std::vector<size_t> cross_of;
    for (size_t s = 0; s < logical.size(); ++s) {
        const PauliMasks m{physical(logical[s].flip), physical(logical[s].sign)};
        if ((m.flip & ~local_mask) == 0) {
            local.push_back(m);
            local_of.push_back(s);
        } else {
            cross.push_back(m);
            cross_of.push_back(s);
        }
    }
    if (!local.empty()) {
        std::vector<PauliMasks> in_slice;
        for (const PauliMasks& m : local) {
            in_slice.push_back(PauliMasks{m.flip, m.sign & local_mask});
        }
        std::vector<double> values;
        agreed([&] {
            py::gil_scoped_release unlocked;
            values = velqa::pauli_expectations<T>(local_bits, slice_->amplitudes<T>(), in_slice, device_id());
        });
        for (size_t j = 0; j < local.size(); ++j) {
            share[local_of[j]] = negated_if_odd(values[j], rank_bits & local[j].sign);
        }
    }
    if (cross.empty()) {
        return share;
    }
    agreed([&] { ensure_exchange_buffer(); });
    const PauliPlan plan = plan_pauli_passes(cross);
    std::vector<double> raw(plan.slots.size(), 0.0);
    try {
        py::gil_scoped_release unlocked;
        for (const PauliPlan::Pass& pass : plan.passes) {
            const std::vector<double> sums = cross_pass_sums<T>(plan, pass);
            std::copy(sums.begin(), sums.end(), raw.begin() + static_cast<int64_t>(pass.first_slot));
        }
    } catch (const std::exception& error) {
        // A partner may be waiting in an exchange that will not come.
        comm_->abort(std::string("Pauli pass across ranks failed: ") + error.what());
    }
    for (size_t j = 0; j < cross.size(); ++j) {
        const size_t slot = plan.slot_of_string[j];
        share[cross_of[j]] = plan.factor[slot] * raw[slot];
    }
    return share;
}

std::vector<double> DistributedState::pauli_expectations(const std::vector<PauliString>& strings,
                                                         const std::string& endian) {
    std::vector<PauliMasks> masks;
    agreed([&] {
        check_endian(endian);
        masks = pauli_masks(n_, strings, endian == "little");
    });
    check_same_on_all_ranks(digest_of(masks), "Pauli string list");
    if (masks.empty()) {
        return {};
    }
    return sum_over_ranks(precision() == Precision::Complex128 ? pauli_shares<double>(masks)
                                                               : pauli_shares<float>(masks));
}

std::complex<double> DistributedState::expectation(const std::vector<PauliTerm>& terms, const std::string& endian) {
    std::vector<PauliString> strings;
    strings.reserve(terms.size());
    for (const PauliTerm& term : terms) {
        strings.push_back(term.paulis);
    }
    agreed([&] {
        check_endian(endian);
        (void)pauli_masks(n_, strings, endian == "little");
        check_coefficients(terms);
    });
    if (terms.empty()) {
        return {0.0, 0.0};
    }
    return combine_terms(terms, pauli_expectations(strings, endian));
}

void DistributedState::bring_into_local_bits(const std::vector<int64_t>& qubits) {
    // A dense gate on the qubits is what the planner knows how to make local.
    GateRecord probe;
    probe.id = GateId::UNITARY;
    probe.target = qubits;
    probe.matrix_dim = int64_t{1} << qubits.size();
    probe.matrix.assign(static_cast<size_t>(probe.matrix_dim * probe.matrix_dim), {1.0, 0.0});
    probe.has_matrix = true;
    SwapPlan plan;
    agreed([&] {
        plan = plan_swaps(n_, local_qubits(), {probe}, bit_of_qubit_);
        if (plan.swap_rounds > 0) {
            ensure_exchange_buffer();
        }
    });
    for (const PlanStep& step : plan.steps) {
        if (step.kind == StepKind::SwapRound) {
            run_swap_round(step);
            apply_step_to_layout(step, {probe}, bit_of_qubit_);
        }
    }
}

std::complex<double> DistributedState::matrix_expectation(const std::vector<std::complex<double>>& matrix, int64_t rows,
                                                          int64_t cols, const std::vector<int64_t>& targets) {
    agreed([&] {
        validate_matrix_expectation_args(n_, targets, rows, cols, matrix);
        if (static_cast<int64_t>(targets.size()) > local_qubits()) {
            throw std::invalid_argument("matrix expectation mixes " + std::to_string(targets.size()) +
                                        " qubits but a rank holds only " + std::to_string(local_qubits()) +
                                        " local qubits");
        }
    });
    GateRecord digest;
    digest.target = targets;
    digest.matrix = matrix;
    check_same_on_all_ranks(hash_gate_records({digest}), "matrix and target list");
    bring_into_local_bits(targets);
    std::vector<int64_t> bits;
    for (const int64_t q : targets) {
        bits.push_back(bit_of_qubit_[static_cast<size_t>(q)]);
    }
    std::complex<double> mine;
    agreed([&] {
        py::gil_scoped_release unlocked;
        mine = matrix_expectation_state(*slice_, matrix, rows, cols, bits);
    });
    const std::vector<double> total = sum_over_ranks({mine.real(), mine.imag()});
    return {total[0], total[1]};
}

}  // namespace velqa::distributed
