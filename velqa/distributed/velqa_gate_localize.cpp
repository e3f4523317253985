// Gate localisation for one rank's slice and the gate-list digest. Plain C++.
#include "distributed/velqa_gate_localize.hpp"

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <utility>

#include "distributed/velqa_swap_planner.hpp"

namespace velqa::distributed {

namespace {

struct Controls {
    std::vector<int64_t> bits;
    std::vector<int64_t> values;
};

// Local controls renamed to their index bits; nothing when a global control excludes the rank.
std::optional<Controls> localize_controls(const GateRecord& record, const std::vector<int32_t>& bit_of_qubit,
                                          int64_t local_bits, uint64_t rank) {
    Controls result;
    for (size_t i = 0; i < record.control.size(); ++i) {
        const int64_t bit = bit_of_qubit[static_cast<size_t>(record.control[i])];
        const int64_t wanted = record.control_state[i];
        if (bit >= local_bits) {
            if (static_cast<int64_t>((rank >> (bit - local_bits)) & 1U) != wanted) {
                return std::nullopt;
            }
            continue;
        }
        result.bits.push_back(bit);
        result.values.push_back(wanted);
    }
    return result;
}

GateRecord phase_record(double angle, const Controls& controls) {
    GateRecord phase;
    phase.id = GateId::GLOBAL_PHASE;
    phase.name = "GLOBAL_PHASE";
    phase.parameter = {angle};
    phase.control = controls.bits;
    phase.control_state = controls.values;
    return phase;
}

GateRecord diagonal_record(std::vector<int64_t> targets, const std::vector<std::complex<double>>& diagonal,
                           const Controls& controls) {
    GateRecord gate;
    gate.id = GateId::UNITARY;
    gate.name = "UNITARY";
    gate.target = std::move(targets);
    gate.matrix_dim = static_cast<int64_t>(diagonal.size());
    gate.matrix.assign(diagonal.size() * diagonal.size(), std::complex<double>(0.0, 0.0));
    for (size_t i = 0; i < diagonal.size(); ++i) {
        gate.matrix[i * diagonal.size() + i] = diagonal[i];
    }
    gate.has_matrix = true;
    gate.control = controls.bits;
    gate.control_state = controls.values;
    return gate;
}

// Phase angle that a diagonal single-target gate applies to amplitudes whose target bit is
// `value`, or nothing where it applies none.
std::optional<double> single_target_phase(const GateRecord& record, uint64_t value) {
    constexpr double pi = std::numbers::pi;
    switch (record.id) {
        case GateId::Z:
            return value != 0 ? std::optional<double>(pi) : std::nullopt;
        case GateId::S:
            return value != 0 ? std::optional<double>(pi / 2) : std::nullopt;
        case GateId::SDAG:
            return value != 0 ? std::optional<double>(-pi / 2) : std::nullopt;
        case GateId::PHASE:
            return value != 0 ? std::optional<double>(record.parameter[0]) : std::nullopt;
        case GateId::RZ:
            return value != 0 ? record.parameter[0] / 2 : -record.parameter[0] / 2;
        default:
            throw std::logic_error("localize_gate: not a diagonal single-target gate");
    }
}

// A diagonal UNITARY with some targets global: the diagonal restricted to this rank's values
// of those targets, on the local targets only.
std::optional<GateRecord> localize_diagonal_unitary(const GateRecord& record, const std::vector<int32_t>& bit_of_qubit,
                                                    int64_t local_bits, uint64_t rank, Controls controls) {
    std::vector<int64_t> local_targets;
    std::vector<size_t> local_positions;
    uint64_t fixed = 0;  // matrix index bits of the global targets, this rank's values
    for (size_t j = 0; j < record.target.size(); ++j) {
        const int64_t bit = bit_of_qubit[static_cast<size_t>(record.target[j])];
        if (bit >= local_bits) {
            fixed |= ((rank >> (bit - local_bits)) & 1U) << j;
        } else {
            local_targets.push_back(bit);
            local_positions.push_back(j);
        }
    }
    const auto dim = static_cast<size_t>(record.matrix_dim);
    std::vector<std::complex<double>> diagonal(size_t{1} << local_targets.size());
    for (size_t x = 0; x < diagonal.size(); ++x) {
        uint64_t index = fixed;
        for (size_t b = 0; b < local_positions.size(); ++b) {
            index |= ((x >> b) & 1U) << local_positions[b];
        }
        diagonal[x] = record.matrix[index * dim + index];
    }
    if (!local_targets.empty()) {
        return diagonal_record(std::move(local_targets), diagonal, controls);
    }
    // One factor for the whole (controlled) slice: put it on a local bit that no control
    // uses, or fold it into the last local control, which then becomes the target.
    const std::complex<double> factor = diagonal[0];
    if (factor == std::complex<double>(1.0, 0.0)) {
        return std::nullopt;
    }
    for (int64_t bit = 0; bit < local_bits; ++bit) {
        bool used = false;
        for (const int64_t c : controls.bits) {
            used = used || c == bit;
        }
        if (!used) {
            return diagonal_record({bit}, {factor, factor}, controls);
        }
    }
    const int64_t bit = controls.bits.back();
    const bool on_one = controls.values.back() != 0;
    controls.bits.pop_back();
    controls.values.pop_back();
    const std::complex<double> one(1.0, 0.0);
    return diagonal_record({bit}, on_one ? std::vector{one, factor} : std::vector{factor, one}, controls);
}

class Fnv1a {
public:
    template <typename V>
    void add(const V& value) {
        unsigned char bytes[sizeof(V)];
        std::memcpy(bytes, &value, sizeof(V));
        for (const unsigned char byte : bytes) {
            hash_ = (hash_ ^ byte) * 0x100000001b3ULL;
        }
    }
    template <typename V>
    void add_all(const std::vector<V>& values) {
        add(static_cast<uint64_t>(values.size()));
        for (const V& value : values) {
            add(value);
        }
    }
    uint64_t value() const { return hash_; }

private:
    uint64_t hash_ = 0xcbf29ce484222325ULL;
};

}  // namespace

std::optional<GateRecord> localize_gate(const GateRecord& record, const std::vector<int32_t>& bit_of_qubit,
                                        int64_t local_bits, uint64_t rank) {
    std::optional<Controls> controls = localize_controls(record, bit_of_qubit, local_bits, rank);
    if (!controls) {
        return std::nullopt;
    }
    if (record.id == GateId::GLOBAL_PHASE) {
        return phase_record(record.parameter[0], *controls);
    }
    if (record.id == GateId::UNITARY && is_diagonal_gate(record)) {
        return localize_diagonal_unitary(record, bit_of_qubit, local_bits, rank, std::move(*controls));
    }
    if (is_diagonal_gate(record)) {
        const int64_t bit = bit_of_qubit[static_cast<size_t>(record.target.front())];
        if (bit >= local_bits) {
            const std::optional<double> angle = single_target_phase(record, (rank >> (bit - local_bits)) & 1U);
            if (!angle) {
                return std::nullopt;
            }
            return phase_record(*angle, *controls);
        }
    }
    GateRecord local = record;
    local.control = controls->bits;
    local.control_state = controls->values;
    // Single-target gates ignore target entries after the first.
    const size_t renamed = record.id == GateId::SWAP || record.id == GateId::UNITARY ? record.target.size() : 1;
    local.target.resize(renamed);
    for (size_t j = 0; j < renamed; ++j) {
        const int64_t bit = bit_of_qubit[static_cast<size_t>(record.target[j])];
        if (bit >= local_bits) {
            throw std::logic_error("localize_gate: a mixed qubit is not local");
        }
        local.target[j] = bit;
    }
    return local;
}

uint64_t hash_gate_records(const std::vector<GateRecord>& records) {
    Fnv1a hash;
    hash.add(static_cast<uint64_t>(records.size()));
    for (const GateRecord& record : records) {
        hash.add(static_cast<int32_t>(record.id));
        hash.add_all(record.target);
        hash.add_all(record.control);
        hash.add_all(record.control_state);
        hash.add_all(record.parameter);
        hash.add(record.matrix_dim);
        hash.add(record.has_matrix);
        hash.add_all(record.matrix);
    }
    return hash.value();
}

}  // namespace velqa::distributed
