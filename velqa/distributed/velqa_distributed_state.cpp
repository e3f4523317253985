// The distributed state: creation, scatter and gather, swap rounds, runs and sampling.
// Host C++ with pybind11 against the CUDA runtime (or its stand-in).
#include "distributed/velqa_distributed_state.hpp"

#include <cuda_runtime.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "distributed/velqa_exchange.cuh"
#include "distributed/velqa_gate_localize.hpp"
#include "fusion/velqa_fusion.cuh"
#include "measure/velqa_sampling.hpp"
#include "runner/run_circuit.cuh"
#include "runner/velqa_gate_checks.hpp"

namespace py = pybind11;

namespace velqa::distributed {

namespace {

// A device allocation owned by a shared pointer whose deleter frees it on the device it was
// made on, ignoring errors (it runs on error paths too).
std::shared_ptr<void> device_allocation(size_t bytes, int32_t device) {
    check_cuda(cudaSetDevice(device));
    void* ptr = nullptr;
    check_cuda(cudaMalloc(&ptr, bytes));
    return {ptr, [device](void* p) {
                (void)cudaSetDevice(device);
                (void)cudaFree(p);
            }};
}

// The message a record raises when the runner dispatches it although its own checks fail
// (parameter counts, a UNITARY's shape), or nullptr: the runner validates up to such a
// record, applies the ones before it, then raises.
const char* dispatch_error(const GateRecord& record) {
    if (const char* message = parameter_count_error(record)) {
        return message;
    }
    if (record.id != GateId::UNITARY) {
        return nullptr;
    }
    const size_t k = record.target.size();
    if (k == 0) {
        return "UNITARY gate requires at least one target.";
    }
    if (k > 62 || record.matrix_dim != (int64_t{1} << k)) {
        return "UNITARY matrix dimension must be 2**num_targets.";
    }
    const auto dim = static_cast<size_t>(record.matrix_dim);
    if (record.matrix.size() % dim != 0 || record.matrix.size() / dim != dim) {
        return "UNITARY matrix size mismatch.";
    }
    return nullptr;
}

// Logical index of physical slice index `local` on rank `rank`, through byte tables of the
// layout so a gather costs a few lookups per amplitude.
class LogicalIndex {
public:
    LogicalIndex(const std::vector<int64_t>& qubit_at_bit, int64_t local_bits, uint64_t rank) {
        const auto n = static_cast<int64_t>(qubit_at_bit.size());
        for (int64_t b = local_bits; b < n; ++b) {
            if (((rank >> (b - local_bits)) & 1U) != 0) {
                rank_part_ |= uint64_t{1} << qubit_at_bit[static_cast<size_t>(b)];
            }
        }
        tables_.assign(static_cast<size_t>((local_bits + 7) / 8), std::vector<uint64_t>(256, 0));
        for (int64_t b = 0; b < local_bits; ++b) {
            auto& table = tables_[static_cast<size_t>(b / 8)];
            const uint64_t logical = uint64_t{1} << qubit_at_bit[static_cast<size_t>(b)];
            for (size_t v = 0; v < 256; ++v) {
                if (((v >> (b % 8)) & 1U) != 0) {
                    table[v] |= logical;
                }
            }
        }
    }
    uint64_t operator()(uint64_t local) const {
        uint64_t result = rank_part_;
        for (size_t t = 0; t < tables_.size(); ++t) {
            result |= tables_[t][(local >> (8 * t)) & 0xffU];
        }
        return result;
    }

private:
    uint64_t rank_part_ = 0;
    std::vector<std::vector<uint64_t>> tables_;
};

std::vector<int32_t> identity_layout(int64_t n) {
    std::vector<int32_t> layout(static_cast<size_t>(n));
    for (int64_t q = 0; q < n; ++q) {
        layout[static_cast<size_t>(q)] = static_cast<int32_t>(q);
    }
    return layout;
}

// Measurement outcome broadcast from rank 0: status, then the result.
struct Drawn {
    StepStatus status;
    MeasureResult result;
    double probability = 0.0;
};

std::vector<uint8_t> encode(const Drawn& drawn) {
    std::vector<uint64_t> words = {static_cast<uint64_t>(drawn.status.kind), drawn.status.message.size(),
                                   drawn.result.last_outcome, std::bit_cast<uint64_t>(drawn.probability),
                                   drawn.result.counts.size()};
    for (const OutcomeCount& entry : drawn.result.counts) {
        words.push_back(entry.outcome);
        words.push_back(entry.shots);
    }
    std::vector<uint8_t> bytes(words.size() * sizeof(uint64_t) + drawn.status.message.size());
    std::memcpy(bytes.data(), words.data(), words.size() * sizeof(uint64_t));
    std::memcpy(bytes.data() + words.size() * sizeof(uint64_t), drawn.status.message.data(),
                drawn.status.message.size());
    return bytes;
}

Drawn decode(const std::vector<uint8_t>& bytes) {
    const auto word = [&bytes](size_t i) {
        uint64_t value = 0;
        std::memcpy(&value, bytes.data() + i * sizeof(uint64_t), sizeof(uint64_t));
        return value;
    };
    Drawn drawn;
    drawn.status.kind = static_cast<int32_t>(word(0));
    const size_t message_size = word(1);
    drawn.result.last_outcome = word(2);
    drawn.probability = std::bit_cast<double>(word(3));
    const size_t entries = word(4);
    for (size_t e = 0; e < entries; ++e) {
        drawn.result.counts.push_back({word(5 + 2 * e), word(6 + 2 * e)});
    }
    const size_t text = (5 + 2 * entries) * sizeof(uint64_t);
    drawn.status.message.assign(reinterpret_cast<const char*>(bytes.data()) + text, message_size);
    return drawn;
}

}  // namespace

int64_t global_qubit_count(int64_t n, int ranks) {
    if (n < 1 || n > 62) {
        throw std::invalid_argument("n must be in [1, 62]");
    }
    if (ranks < 1 || !std::has_single_bit(static_cast<unsigned>(ranks))) {
        throw std::invalid_argument("DistributedState needs a power-of-two number of ranks, got " +
                                    std::to_string(ranks));
    }
    const int64_t g = std::countr_zero(static_cast<unsigned>(ranks));
    if (g >= n) {
        throw std::invalid_argument("DistributedState of n = " + std::to_string(n) + " qubits needs fewer than 2**" +
                                    std::to_string(n) + " = " + std::to_string(int64_t{1} << n) +
                                    " ranks (at least one local qubit per rank), got " + std::to_string(ranks));
    }
    return g;
}

void check_root(int root, int ranks) {
    if (root < 0 || root >= ranks) {
        throw std::invalid_argument("root must be a rank of the communicator, in [0, " + std::to_string(ranks) + ")");
    }
}

DistributedState::DistributedState(int64_t n, const py::object& comm, const std::optional<std::string>& device,
                                   const std::string& transport, int root,
                                   const std::function<Precision()>& precision_on_root)
    : comm_(std::make_unique<MpiComm>(comm)), n_(n) {
    global_qubits_ = global_qubit_count(n, comm_->size());
    check_root(root, comm_->size());
    std::vector<uint8_t> precision(1, 0);
    agreed([&] {
        check_transport(transport);
        if (rank() == root) {
            precision[0] = static_cast<uint8_t>(precision_on_root());
        }
    });
    comm_->broadcast_bytes(precision, root);
    // NCCL's set-up is collective: every rank takes part or none does.
    const std::vector<uint64_t> nccl = comm_->allgather_u64(transport == "nccl" ? 1 : 0);
    if (std::count(nccl.begin(), nccl.end(), 1) % comm_->size() != 0) {
        throw std::invalid_argument("transport='nccl' must be chosen on every rank or on none");
    }
    // Collective on every rank, whether or not this one names its device.
    const int node_rank = comm_->node_rank();
    agreed([&] {
        int32_t device_id = 0;
        if (device) {
            device_id = parse_device(*device);
        } else {
            int count = 0;
            check_cuda(cudaGetDeviceCount(&count));
            device_id = count > 0 ? node_rank % count : 0;
        }
        py::gil_scoped_release unlocked;
        slice_ = std::make_shared<DeviceState>(local_qubits(), static_cast<Precision>(precision[0]), device_id);
    });
    // After the slice, so that NCCL opens on the slice's device.
    agreed([&] { transport_ = make_transport(transport, *comm_, slice_->device_id()); });
    bit_of_qubit_ = identity_layout(n);
}

DistributedState::~DistributedState() {
    exchange_send_.reset();
    exchange_recv_.reset();
    slice_.reset();
    transport_.reset();
    comm_.reset();
}

std::vector<int64_t> DistributedState::qubit_at_bit() const {
    std::vector<int64_t> result(bit_of_qubit_.size());
    for (size_t q = 0; q < bit_of_qubit_.size(); ++q) {
        result[static_cast<size_t>(bit_of_qubit_[q])] = static_cast<int64_t>(q);
    }
    return result;
}

void DistributedState::set_message_elements(int64_t elements) {
    if (elements < 1 || elements > kMaxMessageElements) {
        throw std::invalid_argument("message elements must be in [1, 2**27]");
    }
    message_elements_ = elements;
    exchange_send_.reset();
    exchange_recv_.reset();
    exchange_elements_ = 0;
}

void DistributedState::synchronize() const { slice_->synchronize(); }

void DistributedState::fill_zero_state() {
    agreed([&] {
        py::gil_scoped_release unlocked;
        check_cuda(cudaSetDevice(slice_->device_id()));
        if (rank() == 0) {
            slice_->fill_zero_state();
        } else {
            check_cuda(cudaMemset(slice_->data(), 0, static_cast<size_t>(slice_->num_state()) * element_bytes()));
        }
    });
    bit_of_qubit_ = identity_layout(n_);
}

void DistributedState::scatter_from(const void* host, int root) {
    const int64_t slice_elements = slice_->num_state();
    const auto bytes = static_cast<size_t>(element_bytes());
    std::vector<unsigned char> staging;
    StepStatus status;
    std::exception_ptr failure;
    // A failed copy must not leave a peer waiting in a receive, so every rank completes its
    // messages first and the ranks agree afterwards.
    for (int r = 0; r < size(); ++r) {
        for (int64_t offset = 0; offset < slice_elements; offset += message_elements_) {
            const int64_t count = std::min(message_elements_, slice_elements - offset);
            // Only root holds the array; the others never form an address in it.
            const auto* source = rank() == root ? static_cast<const unsigned char*>(host) +
                                                      (static_cast<size_t>(r) * slice_elements + offset) * bytes
                                                : nullptr;
            auto* target = static_cast<unsigned char*>(slice_->data()) + static_cast<size_t>(offset) * bytes;
            try {
                if (rank() == root && r == root) {
                    check_cuda(cudaMemcpy(target, source, count * bytes, cudaMemcpyHostToDevice));
                } else if (rank() == root) {
                    comm_->send(source, count, element_bytes(), r);
                    stats_.bytes_sent += count * element_bytes();
                    ++stats_.messages_sent;
                } else if (rank() == r) {
                    staging.resize(count * bytes);
                    comm_->recv(staging.data(), count, element_bytes(), root);
                    stats_.bytes_received += count * element_bytes();
                    ++stats_.messages_received;
                    check_cuda(cudaMemcpy(target, staging.data(), count * bytes, cudaMemcpyHostToDevice));
                }
            } catch (const std::exception& error) {
                if (!failure) {
                    status = {2, error.what()};
                    failure = std::current_exception();
                }
            }
        }
    }
    agree(*comm_, status, failure);
    bit_of_qubit_ = identity_layout(n_);
}

void DistributedState::gather_to(void* host, int root) const {
    const int64_t slice_elements = slice_->num_state();
    const auto bytes = static_cast<size_t>(element_bytes());
    const bool identity = bit_of_qubit_ == identity_layout(n_);
    const std::vector<int64_t> layout = qubit_at_bit();
    std::vector<unsigned char> staging;
    StepStatus status;
    std::exception_ptr failure;
    for (int r = 0; r < size(); ++r) {
        const LogicalIndex logical(layout, local_qubits(), static_cast<uint64_t>(r));
        for (int64_t offset = 0; offset < slice_elements; offset += message_elements_) {
            const int64_t count = std::min(message_elements_, slice_elements - offset);
            const auto* source =
                static_cast<const unsigned char*>(slice_->data()) + static_cast<size_t>(offset) * bytes;
            try {
                if (rank() == root) {
                    staging.resize(count * bytes);
                    if (r == root) {
                        check_cuda(cudaMemcpy(staging.data(), source, count * bytes, cudaMemcpyDeviceToHost));
                    } else {
                        comm_->recv(staging.data(), count, element_bytes(), r);
                        stats_.bytes_received += count * element_bytes();
                        ++stats_.messages_received;
                    }
                    auto* out = static_cast<unsigned char*>(host);
                    if (identity) {
                        std::memcpy(out + (static_cast<size_t>(r) * slice_elements + offset) * bytes, staging.data(),
                                    count * bytes);
                    } else {
                        for (int64_t i = 0; i < count; ++i) {
                            std::memcpy(out + logical(static_cast<uint64_t>(offset + i)) * bytes,
                                        staging.data() + static_cast<size_t>(i) * bytes, bytes);
                        }
                    }
                } else if (rank() == r) {
                    staging.resize(count * bytes);
                    check_cuda(cudaMemcpy(staging.data(), source, count * bytes, cudaMemcpyDeviceToHost));
                    comm_->send(staging.data(), count, element_bytes(), root);
                    stats_.bytes_sent += count * element_bytes();
                    ++stats_.messages_sent;
                }
            } catch (const std::exception& error) {
                if (!failure) {
                    status = {2, error.what()};
                    failure = std::current_exception();
                }
            }
        }
    }
    agree(*comm_, status, failure);
}

void DistributedState::check_same_on_all_ranks(uint64_t digest, const char* what) const {
    const std::vector<uint64_t> all = comm_->allgather_u64(digest);
    for (size_t r = 1; r < all.size(); ++r) {
        if (all[r] != all[0]) {
            throw std::invalid_argument(std::string(what) + " differs between ranks (rank 0 and rank " +
                                        std::to_string(r) + "): every rank must pass the same " + what);
        }
    }
}

void DistributedState::ensure_exchange_buffer() {
    // The largest transfer of a round is half a slice (one swap); messages bound it further.
    const int64_t wanted = std::min(message_elements_, std::max<int64_t>(slice_->num_state() / 2, 1));
    if (exchange_elements_ >= wanted) {
        return;
    }
    exchange_send_.reset();
    exchange_recv_.reset();
    exchange_elements_ = 0;
    const size_t bytes = static_cast<size_t>(wanted) * element_bytes();
    exchange_send_ = device_allocation(bytes, slice_->device_id());
    exchange_recv_ = device_allocation(bytes, slice_->device_id());
    exchange_elements_ = wanted;
}

// A round of k swaps of global bit G_j with local bit L_j. This rank's values of the G bits
// form the k-bit pattern a. Its amplitudes whose L bits read b != a belong to the rank whose
// G bits read b, at the same index with the L bits reading a; that rank sends back exactly
// its amplitudes whose L bits read a, which land where ours left. So for each of the 2^k - 1
// partners (pattern a ^ m) one block of 2^(L-k) amplitudes is exchanged in place, in the
// same order m on both sides, which pairs every send with its receive.
template <typename T>
void DistributedState::swap_round(const PlanStep& step) {
    const auto k = static_cast<int64_t>(step.swaps.size());
    const int64_t local_bits = local_qubits();
    const auto me = static_cast<uint64_t>(rank());
    uint64_t local_mask = 0;
    uint64_t pattern = 0;
    for (int64_t j = 0; j < k; ++j) {
        const BitSwap& swap = step.swaps[static_cast<size_t>(j)];
        local_mask |= uint64_t{1} << swap.local_bit;
        pattern |= ((me >> (swap.global_bit - local_bits)) & 1U) << j;
    }
    const uint64_t block = uint64_t{1} << (local_bits - k);
    auto* slice = slice_->amplitudes<T>();
    auto* send = static_cast<CuComplex<T>*>(exchange_send_.get());
    auto* recv = static_cast<CuComplex<T>*>(exchange_recv_.get());
    for (uint64_t m = 1; m < (uint64_t{1} << k); ++m) {
        const uint64_t theirs = pattern ^ m;
        uint64_t partner = me;
        uint64_t fixed_value = 0;
        for (int64_t j = 0; j < k; ++j) {
            const BitSwap& swap = step.swaps[static_cast<size_t>(j)];
            partner ^= ((m >> j) & 1U) << (swap.global_bit - local_bits);
            fixed_value |= ((theirs >> j) & 1U) << swap.local_bit;
        }
        const auto chunk = static_cast<uint64_t>(exchange_elements_);
        const auto pack = [&](uint64_t start) {
            if (start < block) {
                launch_exchange_pack<T>(slice, send, local_mask, fixed_value, start, std::min(chunk, block - start),
                                        cudaStream_t{0});
            }
        };
        pack(0);
        for (uint64_t start = 0; start < block; start += chunk) {
            const uint64_t count = std::min(chunk, block - start);
            // The next message is packed on the device while this one is in flight; packing
            // reads other amplitudes than the unpacking of this one writes.
            transport_->exchange(send, recv, static_cast<int64_t>(count), element_bytes(), static_cast<int>(partner),
                                 [&] { pack(start + chunk); });
            launch_exchange_unpack<T>(slice, recv, local_mask, fixed_value, start, count, cudaStream_t{0});
            const auto bytes = static_cast<int64_t>(count) * element_bytes();
            stats_.bytes_sent += bytes;
            stats_.bytes_received += bytes;
            ++stats_.messages_sent;
            ++stats_.messages_received;
        }
    }
    ++stats_.swap_rounds;
    stats_.bit_swaps += k;
}

void DistributedState::run_swap_round(const PlanStep& step) {
    try {
        py::gil_scoped_release unlocked;
        if (precision() == Precision::Complex128) {
            swap_round<double>(step);
        } else {
            swap_round<float>(step);
        }
    } catch (const std::exception& error) {
        // Half of a round may have gone: the partner cannot be told apart from a peer that
        // waits, so the job ends here with the reason.
        comm_->abort(std::string("swap round failed: ") + error.what());
    }
}

void DistributedState::run_local(const std::vector<GateRecord>& records, KernelMode mode,
                                 const fusion::FusionOptions* prepared) {
    agreed([&] {
        if (records.empty()) {
            return;
        }
        py::gil_scoped_release unlocked;
        if (prepared == nullptr) {
            run_gates_on_state(*slice_, records, mode);
            return;
        }
        fusion::PreparedFusionChunk chunk;
        chunk.n = local_qubits();
        chunk.gates = records;
        chunk.options = *prepared;
        static_cast<fusion::FusionPlan&>(chunk) = fusion::plan_fusion_chunk(chunk.n, chunk.gates, *prepared);
        if (precision() == Precision::Complex128) {
            fusion::execute_prepared<double>(slice_->amplitudes<double>(), slice_->num_state(), device_id(), chunk);
        } else {
            fusion::execute_prepared<float>(slice_->amplitudes<float>(), slice_->num_state(), device_id(), chunk);
        }
    });
}

void DistributedState::run(const std::vector<GateRecord>& records, KernelMode mode,
                           const fusion::FusionOptions* prepared) {
    size_t stop = records.size();
    SwapPlan plan;
    agreed([&] {
        validate_gate_records(n_, records);
        for (size_t i = 0; i < stop; ++i) {
            if (dispatch_error(records[i]) != nullptr) {
                stop = i;
                break;
            }
        }
        const std::vector<GateRecord> runnable(records.begin(), records.begin() + static_cast<int64_t>(stop));
        SwapPlanOptions options;
        options.swap_back = swap_back_;
        plan = plan_swaps(n_, local_qubits(), runnable, bit_of_qubit_, options);
        if (plan.swap_rounds > 0) {
            ensure_exchange_buffer();
        }
    });
    std::vector<GateRecord> segment;
    for (const PlanStep& step : plan.steps) {
        if (step.kind == StepKind::Gate) {
            std::optional<GateRecord> local = localize_gate(records[static_cast<size_t>(step.gate)], bit_of_qubit_,
                                                            local_qubits(), static_cast<uint64_t>(rank()));
            if (local) {
                segment.push_back(std::move(*local));
            }
            continue;
        }
        if (step.kind == StepKind::SwapRound) {
            run_local(segment, mode, prepared);
            segment.clear();
            run_swap_round(step);
        }
        apply_step_to_layout(step, records, bit_of_qubit_);
    }
    run_local(segment, mode, prepared);
    if (stop < records.size()) {
        throw std::invalid_argument(dispatch_error(records[stop]));
    }
}

template <typename T>
MeasureResult DistributedState::sample_typed(const std::vector<int64_t>& targets, const std::string& endian,
                                             uint64_t shots, uint64_t seed, bool collapse_last) {
    const auto k = static_cast<int64_t>(targets.size());
    const int64_t local_bits = local_qubits();
    const TargetSplit mine = split_targets(targets, endian, static_cast<uint64_t>(rank()));
    const std::vector<double> table = outcome_table<T>(targets, endian);
    std::vector<uint8_t> message;
    if (rank() == 0) {
        Drawn drawn;
        try {
            std::vector<double> cumulative = table;
            for (size_t o = 1; o < cumulative.size(); ++o) {
                cumulative[o] += cumulative[o - 1];
            }
            const double total = cumulative.back();
            if (!(total > 0.0 && total < std::numeric_limits<double>::infinity())) {
                throw std::runtime_error("Quantum state has zero or invalid norm.");
            }
            const DrawResult result = draw_outcomes(cumulative, shots, seed);
            drawn.result.counts = result.counts;
            drawn.result.last_outcome = result.last;
            const uint64_t chosen = result.last;
            drawn.probability = cumulative[chosen] - (chosen == 0 ? 0.0 : cumulative[chosen - 1]);
            if (collapse_last && !(drawn.probability > 0.0)) {
                throw std::runtime_error("Selected measurement probability is zero.");
            }
        } catch (const std::exception& error) {
            drawn.status = {2, error.what()};
        }
        message = encode(drawn);
    }
    comm_->broadcast_bytes(message, 0);
    Drawn drawn = decode(message);
    if (drawn.status.kind != 0) {
        throw std::runtime_error(drawn.status.message);
    }
    drawn.result.last = outcome_bit_string(drawn.result.last_outcome, k);
    if (collapse_last) {
        agreed([&] {
            py::gil_scoped_release unlocked;
            check_cuda(cudaSetDevice(device_id()));
            const uint64_t chosen = drawn.result.last_outcome;
            if ((chosen & mine.global_mask) != mine.rank_value) {
                // Every amplitude of this slice contradicts the outcome.
                check_cuda(cudaMemset(slice_->data(), 0, static_cast<size_t>(slice_->num_state()) * element_bytes()));
                return;
            }
            uint64_t match_mask = 0;
            uint64_t match_value = 0;
            for (size_t b = 0; b < mine.local_bits.size(); ++b) {
                match_mask |= uint64_t{1} << mine.local_bits[b];
                if ((chosen & (uint64_t{1} << (k - 1 - mine.local_positions[b]))) != 0) {
                    match_value |= uint64_t{1} << mine.local_bits[b];
                }
            }
            collapse_onto<T>(local_bits, slice_->amplitudes<T>(), match_mask, match_value, drawn.probability);
            check_cuda(cudaDeviceSynchronize());
        });
    }
    return drawn.result;
}

MeasureResult DistributedState::sample(const std::vector<int64_t>& targets, const std::string& endian, uint64_t shots,
                                       uint64_t seed, bool collapse_last) {
    agreed([&] {
        validate_measure_args(n_, int64_t{1} << n_, targets, endian);
        if (shots == 0) {
            throw std::invalid_argument("shots must be positive");
        }
    });
    if (precision() == Precision::Complex128) {
        return sample_typed<double>(targets, endian, shots, seed, collapse_last);
    }
    return sample_typed<float>(targets, endian, shots, seed, collapse_last);
}

}  // namespace velqa::distributed
