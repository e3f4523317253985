// A state vector of n qubits split over the 2^g ranks of an MPI communicator: rank r holds
// the 2^(n-g) amplitudes whose global index bits equal r, in a DeviceState of n - g qubits.
// Which logical qubit sits in which index bit is a tracked permutation (`bit_of_qubit`),
// changed by swap rounds and relabelled SWAPs and never undone behind the caller's back.
// Host C++ with pybind11 (for the communicator); device work through the existing launchers.
//
// Every public method that moves data or can fail is collective: all ranks call it in the
// same order with the same arguments, and a failure on any rank raises on every rank.
#pragma once

#include <pybind11/pybind11.h>

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "distributed/velqa_mpi_comm.hpp"
#include "distributed/velqa_swap_planner.hpp"
#include "distributed/velqa_transport.hpp"
#include "fusion/velqa_fusion_planner.hpp"
#include "measure/velqa_expectation.hpp"
#include "measure/velqa_measure.cuh"
#include "runner/velqa_gate_record.hpp"
#include "runner/velqa_kernel_mode.hpp"
#include "state/velqa_device_state.cuh"

namespace velqa::distributed {

// Amplitude traffic of this rank (swap rounds, scatter and gather; not the small
// collectives that agree on outcomes) since creation or the last reset.
struct CommStats {
    int64_t bytes_sent = 0;
    int64_t bytes_received = 0;
    int64_t messages_sent = 0;
    int64_t messages_received = 0;
    int64_t swap_rounds = 0;
    int64_t bit_swaps = 0;
};

// MPI counts are 32-bit and some transports misbehave well below that: no message carries
// more amplitudes than this.
constexpr int64_t kMaxMessageElements = int64_t{1} << 27;

// Checks, without communication, that `ranks` can hold an n-qubit state: n in [1, 62], a
// power of two 2^g with g < n. Returns g; throws std::invalid_argument with the numbers.
int64_t global_qubit_count(int64_t n, int ranks);

// std::invalid_argument unless root names a rank of a communicator of `ranks` ranks.
void check_root(int root, int ranks);

class VELQA_HOLDS_PYTHON DistributedState {
public:
    // Collective. In this order: n and the rank count (no communication, so every rank
    // raises the same error), `root`, the transport name, then `precision_on_root` runs on
    // root (the other ranks learn its answer) and the ranks agree; then 'nccl' on every rank
    // or none; only then is the device chosen (`device`, else node rank modulo the device
    // count), the slice allocated and the transport set up on that device.
    DistributedState(int64_t n, const pybind11::object& comm, const std::optional<std::string>& device,
                     const std::string& transport, int root, const std::function<Precision()>& precision_on_root);
    ~DistributedState();
    DistributedState(const DistributedState&) = delete;
    DistributedState& operator=(const DistributedState&) = delete;

    // |0...0>: rank 0's first amplitude 1, everything else 0; the layout becomes the identity.
    void fill_zero_state();
    // Root passes 2^n amplitudes in logical order (others nullptr); the layout becomes the identity.
    void scatter_from(const void* host, int root);
    // Root receives the 2^n amplitudes in logical order into `host` (others pass nullptr).
    void gather_to(void* host, int root) const;

    // Validates the records against n qubits as the runner does, plans the swaps and runs
    // every rank's part in `mode`; with `prepared` the local segments are planned with its
    // fusion options and executed as prepared chunks. Records must be identical on all ranks.
    void run(const std::vector<GateRecord>& records, KernelMode mode, const fusion::FusionOptions* prepared);
    // Sampling with the rules of the single-device sampler, in logical qubit order.
    MeasureResult sample(const std::vector<int64_t>& targets, const std::string& endian, uint64_t shots, uint64_t seed,
                         bool collapse_last);
    void synchronize() const;

    // The device reductions of a single state, with its checks and messages first. Each rank
    // computes its share, rank 0 adds the shares in rank order and broadcasts the sums, so
    // every rank returns the same bits on every run. Strings whose flipped qubits are all local
    // need no communication; the others exchange half a slice with the partner rank per group
    // of strings that flip the same qubits.
    std::vector<double> pauli_expectations(const std::vector<PauliString>& strings, const std::string& endian);
    std::complex<double> expectation(const std::vector<PauliTerm>& terms, const std::string& endian);
    // Brings global targets into local bits first (a swap round, which changes `layout`, not
    // the state): at most local_qubits() targets.
    std::complex<double> matrix_expectation(const std::vector<std::complex<double>>& matrix, int64_t rows, int64_t cols,
                                            const std::vector<int64_t>& targets);
    // The table measurement draws from, in the single-device order of probabilities_device.
    std::vector<double> probabilities(const std::vector<int64_t>& targets, const std::string& endian);

    // Raises on every rank unless every rank passed the same digest.
    void check_same_on_all_ranks(uint64_t digest, const char* what) const;
    // Runs `step` here and makes its failure on any rank a failure on every rank.
    template <typename Step>
    void agreed(Step&& step) const;

    int64_t n() const { return n_; }
    int64_t local_qubits() const { return n_ - global_qubits_; }
    int64_t global_qubits() const { return global_qubits_; }
    int rank() const { return comm_->rank(); }
    int size() const { return comm_->size(); }
    Precision precision() const { return slice_->precision(); }
    int32_t device_id() const { return slice_->device_id(); }
    const std::shared_ptr<DeviceState>& slice() const { return slice_; }
    const std::vector<int32_t>& bit_of_qubit() const { return bit_of_qubit_; }
    std::vector<int64_t> qubit_at_bit() const;
    const CommStats& stats() const { return stats_; }
    void reset_stats() { stats_ = CommStats{}; }
    const char* transport_name() const { return transport_->name(); }
    int64_t message_elements() const { return message_elements_; }
    // A smaller message bound (at least 1) for tests that must see exchanges split.
    void set_message_elements(int64_t elements);
    // The naive swap-in, apply, swap-back baseline instead of the kept permutation.
    void set_swap_back(bool swap_back) { swap_back_ = swap_back; }
    bool swap_back() const { return swap_back_; }

private:
    // Where measured targets sit for rank `r`: local ones as index bits with their positions
    // among the targets, global ones as outcome bits and r's values there.
    struct TargetSplit {
        std::vector<int64_t> local_bits;
        std::vector<int64_t> local_positions;
        uint64_t global_mask = 0;
        uint64_t rank_value = 0;
    };
    TargetSplit split_targets(const std::vector<int64_t>& targets, const std::string& endian, uint64_t r) const;
    // Collective: on rank 0 the 2^k probabilities (targets[0] the most significant outcome
    // bit), every rank's partial table added in rank order; empty on the other ranks.
    template <typename T>
    std::vector<double> outcome_table(const std::vector<int64_t>& targets, const std::string& endian);
    // Collective: the element-wise sum of every rank's `mine`, added in rank order on rank 0.
    std::vector<double> sum_over_ranks(const std::vector<double>& mine) const;
    template <typename T>
    std::vector<double> pauli_shares(const std::vector<PauliMasks>& logical);
    template <typename T>
    std::vector<double> cross_pass_sums(const PauliPlan& plan, const PauliPlan::Pass& pass);
    // Swap rounds (no gates) that leave every one of `qubits` in a local bit.
    void bring_into_local_bits(const std::vector<int64_t>& qubits);
    // One planned swap round; a failure ends the job, as half of it may have gone.
    void run_swap_round(const PlanStep& step);
    template <typename T>
    void swap_round(const PlanStep& step);
    template <typename T>
    MeasureResult sample_typed(const std::vector<int64_t>& targets, const std::string& endian, uint64_t shots,
                               uint64_t seed, bool collapse_last);
    void run_local(const std::vector<GateRecord>& records, KernelMode mode, const fusion::FusionOptions* prepared);
    void ensure_exchange_buffer();
    int element_bytes() const { return static_cast<int>(bytes_per_amplitude(precision())); }

    std::unique_ptr<MpiComm> comm_;
    std::unique_ptr<Transport> transport_;
    std::shared_ptr<DeviceState> slice_;
    int64_t n_ = 0;
    int64_t global_qubits_ = 0;
    std::vector<int32_t> bit_of_qubit_;
    mutable CommStats stats_;  // gather_to counts too
    int64_t message_elements_ = kMaxMessageElements;
    bool swap_back_ = false;
    // The bounded exchange buffer: two device arrays of exchange_elements_ amplitudes.
    std::shared_ptr<void> exchange_send_;
    std::shared_ptr<void> exchange_recv_;
    int64_t exchange_elements_ = 0;
};

}  // namespace velqa::distributed

#include "distributed/velqa_agreement.hpp"

template <typename Step>
void velqa::distributed::DistributedState::agreed(Step&& step) const {
    run_agreed(*comm_, std::forward<Step>(step));
}
