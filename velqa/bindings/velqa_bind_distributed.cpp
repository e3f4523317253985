// Python surface of the distributed state. Every function here is collective: all ranks call
// it in the same order with the same arguments. Python objects are read with the
// interpreter lock held; it is released for local device work, and MPI calls release it
// while they block. Host C++ with pybind11.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "distributed/velqa_distributed_state.hpp"
#include "distributed/velqa_gate_localize.hpp"
#include "fusion/velqa_fusion_planner.hpp"
#include "quorra_pauli_args.hpp"
#include "runner/run_circuit.cuh"
#include "runner/velqa_gate_parse.hpp"
#include "velqa_bindings.hpp"
#include "velqa_numpy.hpp"

namespace py = pybind11;

namespace velqa {

using distributed::DistributedState;

namespace {

using StatePtr = std::shared_ptr<DistributedState>;

// Parses on every rank and agrees on it, then checks that every rank holds the same list.
template <typename Parse>
std::vector<GateRecord> parse_agreed(const DistributedState& state, const std::string& endian, Parse&& parse) {
    std::vector<GateRecord> records;
    state.agreed([&] {
        check_endian(endian);
        records = parse();
    });
    state.check_same_on_all_ranks(distributed::hash_gate_records(records), "gate list");
    return records;
}

// An overload of `name` for a DistributedState that keeps the single-device docstring.
template <typename F, typename... Extra>
void def_distributed(py::module_& m, const char* name, F&& f, const Extra&... extra) {
    add_overload_keeping_doc(m, name, [&] { m.def(name, std::forward<F>(f), extra...); });
}

uint64_t measure_digest(const std::vector<int64_t>& targets, const std::string& endian, uint64_t shots,
                        bool collapse_last) {
    GateRecord record;  // the digest of the records covers integers and texts alike
    record.target = targets;
    record.parameter = {static_cast<double>(shots), collapse_last ? 1.0 : 0.0, endian == "little" ? 1.0 : 0.0};
    return distributed::hash_gate_records({record});
}

MeasureResult sample_agreed(DistributedState& state, const std::vector<int64_t>& targets, const std::string& endian,
                            uint64_t shots, const py::object& seed, bool collapse_last) {
    uint64_t value = 0;
    state.agreed([&] {
        check_endian(endian);
        if (shots == 0) {
            throw std::invalid_argument("shots must be positive");
        }
        value = resolve_seed(seed);  // only rank 0's seed draws
    });
    state.check_same_on_all_ranks(measure_digest(targets, endian, shots, collapse_last), "measurement argument list");
    return state.sample(targets, endian, shots, value, collapse_last);
}

py::dict comm_stats(const DistributedState& self) {
    const distributed::CommStats& s = self.stats();
    py::dict d;
    d["bytes_sent"] = s.bytes_sent;
    d["bytes_received"] = s.bytes_received;
    d["messages_sent"] = s.messages_sent;
    d["messages_received"] = s.messages_received;
    d["swap_rounds"] = s.swap_rounds;
    d["bit_swaps"] = s.bit_swaps;
    return d;
}

// What Python shows of a single-device function (its docstring with the signature line)
// stays as it was: `add` chains the DistributedState overload, and the chained function gets
// the previous docstring back. The stubs and the README document the overloads.
template <typename Add>
void add_overload_keeping_doc(py::module_& m, const char* name, Add&& add) {
    const std::string doc = py::str(m.attr(name).attr("__doc__"));
    std::forward<Add>(add)();
    auto* func = reinterpret_cast<PyCFunctionObject*>(m.attr(name).ptr());
    auto* copy = static_cast<char*>(std::malloc(doc.size() + 1));
    if (copy == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(copy, doc.c_str(), doc.size() + 1);
    // pybind11 owns the docstring of the functions it makes and releases it with std::free.
    std::free(const_cast<char*>(PYBIND11_PYCFUNCTION_GET_DOC(func)));
    PYBIND11_PYCFUNCTION_SET_DOC(func, copy);
}

}  // namespace

void bind_distributed_state(py::module_& m) {
    py::class_<DistributedState, StatePtr> cls(
        m, "DistributedState",
        "An n-qubit state vector split over the 2**g ranks of an MPI communicator: g global qubits in the rank "
        "number, n - g local qubits in each rank's slice on its own device. Every method is collective.");
    cls.def_static(
           "zero_state",
           [](int64_t n, const std::string& dtype, const py::object& comm, const std::optional<std::string>& device,
              const std::string& transport) {
               auto state = std::make_shared<DistributedState>(n, comm, device, transport, 0,
                                                               [&dtype] { return parse_dtype(dtype); });
               state->fill_zero_state();
               return state;
           },
           py::arg("n"), py::arg("dtype") = "complex128", py::arg("comm") = py::none(), py::arg("device") = py::none(),
           py::arg("transport") = "host",
           "Allocate a DistributedState of n qubits in |0...0> over comm (mpi4py's COMM_WORLD when None).")
        .def_static(
            "from_numpy",
            [](int64_t n, const py::object& state, const py::object& comm, int root,
               const std::optional<std::string>& device, const std::string& transport) {
                py::buffer_info view;
                auto result = std::make_shared<DistributedState>(n, comm, device, transport, root, [&] {
                    if (!py::isinstance<py::array>(state)) {
                        throw std::invalid_argument("state must be a numpy array on the root rank");
                    }
                    const auto array = py::reinterpret_borrow<py::array>(state);
                    view = validate_host_state(n, array);
                    return array_precision(array);
                });
                result->scatter_from(result->rank() == root ? view.ptr : nullptr, root);
                return result;
            },
            py::arg("n"), py::arg("state"), py::arg("comm") = py::none(), py::arg("root") = 0,
            py::arg("device") = py::none(), py::arg("transport") = "host",
            "Scatter a 1-D complex64 or complex128 numpy state of 2**n amplitudes, passed on root only (None "
            "elsewhere), into a new DistributedState.")
        .def(
            "to_numpy",
            [](const DistributedState& self, int root) -> py::object {
                distributed::check_root(root, self.size());
                if (self.rank() != root) {
                    self.gather_to(nullptr, root);
                    return py::none();
                }
                py::array result(py::dtype(dtype_name(self.precision())),
                                 std::vector<py::ssize_t>{static_cast<py::ssize_t>(int64_t{1} << self.n())});
                self.gather_to(result.mutable_data(), root);
                return result;
            },
            py::arg("root") = 0,
            "Gather the amplitudes in logical qubit order: a new numpy array on root, None on the other ranks.")
        .def("local_state", &DistributedState::slice,
             "This rank's slice as a DeviceState sharing its memory; its index bits follow `layout`.")
        .def(
            "synchronize",
            [](const DistributedState& self) {
                py::gil_scoped_release unlocked;
                self.synchronize();
            },
            "Wait for all work queued on this rank's device.")
        .def("reset_comm_stats", &DistributedState::reset_stats, "Set every counter of comm_stats to zero.")
        .def("_set_message_elements", &DistributedState::set_message_elements, py::arg("elements"),
             "Testing aid: bound every message to this many amplitudes.")
        .def("_set_swap_back", &DistributedState::set_swap_back, py::arg("swap_back"),
             "Benchmark aid: swap global qubits back after every gate (the naive baseline).")
        .def_property_readonly("n", &DistributedState::n, "Number of qubits.")
        .def_property_readonly(
            "num_state", [](const DistributedState& self) { return int64_t{1} << self.n(); },
            "Number of amplitudes over all ranks, 2**n.")
        .def_property_readonly(
            "dtype", [](const DistributedState& self) { return std::string(dtype_name(self.precision())); },
            "Amplitude dtype: 'complex64' or 'complex128'.")
        .def_property_readonly("device_id", &DistributedState::device_id, "CUDA device ordinal of this rank's slice.")
        .def_property_readonly("rank", &DistributedState::rank, "This process's rank in the communicator.")
        .def_property_readonly("size", &DistributedState::size, "Number of ranks.")
        .def_property_readonly("global_qubits", &DistributedState::global_qubits,
                               "g: index bits held in the rank number.")
        .def_property_readonly("local_qubits", &DistributedState::local_qubits, "n - g: index bits of each slice.")
        .def_property_readonly("layout", &DistributedState::qubit_at_bit,
                               "The logical qubit held by each index bit: local bits first, then the rank bits.")
        .def_property_readonly(
            "transport", [](const DistributedState& self) { return std::string(self.transport_name()); },
            "How slices travel between ranks: 'host' (through host memory), 'cuda_aware' (device pointers "
            "handed to MPI) or 'nccl' (NCCL send/receive; cuda build with NCCL); transport='auto' resolves to one "
            "of the first two.")
        .def_property_readonly("comm_stats", &comm_stats,
                               "Amplitude traffic of this rank since creation or reset_comm_stats(): bytes and "
                               "messages sent and received, swap rounds and swapped bits.");
}

void bind_distributed_overloads(py::module_& m) {
    add_overload_keeping_doc(m, "run_circuit_device", [&m] {
        m.def(
            "run_circuit_device",
            [](const StatePtr& state, const py::list& gate_ir, const std::string& endian, KernelMode mode) {
                const auto records = parse_agreed(*state, endian, [&] { return parse_gate_ir(gate_ir); });
                state->run(records, mode, nullptr);
            },
            py::arg("state"), py::arg("gate_ir"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);
    });
    add_overload_keeping_doc(m, "run_circuit_device_gates", [&m] {
        m.def(
            "run_circuit_device_gates",
            [](const StatePtr& state, const py::iterable& gates, const std::string& endian, KernelMode mode) {
                const auto records = parse_agreed(*state, endian, [&] { return parse_quantum_gates(gates); });
                if (!records.empty()) {
                    state->run(records, mode, nullptr);
                }
            },
            py::arg("state"), py::arg("gates"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);
    });
    add_overload_keeping_doc(m, "execute_prepared_fusion_chunk", [&m] {
        m.def(
            "execute_prepared_fusion_chunk",
            [](const StatePtr& state, const std::shared_ptr<fusion::PreparedFusionChunk>& chunk) {
                state->agreed([&] {
                    if (state->n() != chunk->n) {
                        throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
                    }
                });
                state->check_same_on_all_ranks(distributed::hash_gate_records(chunk->gates), "prepared chunk");
                state->run(chunk->gates, KernelMode::PairAuto, &chunk->options);
            },
            py::arg("state"), py::arg("chunk"));
    });
    add_overload_keeping_doc(m, "measure_device", [&m] {
        m.def(
            "measure_device",
            [](const StatePtr& state, const std::vector<int64_t>& targets, const std::string& endian,
               const py::object& seed) { return sample_agreed(*state, targets, endian, 1, seed, true).last; },
            py::arg("state"), py::arg("targets"), py::arg("endian") = "little", py::arg("seed") = py::none());
    });
    add_overload_keeping_doc(m, "sample_measure_device", [&m] {
        m.def(
            "sample_measure_device",
            [](const StatePtr& state, const std::vector<int64_t>& targets, uint64_t shots, const std::string& endian,
               const py::object& seed, bool collapse_last) {
                const MeasureResult result = sample_agreed(*state, targets, endian, shots, seed, collapse_last);
                return py::make_tuple(counts_to_dict(result.counts, static_cast<int64_t>(targets.size())),
                                      py::str(result.last));
            },
            py::arg("state"), py::arg("targets"), py::arg("shots"), py::arg("endian") = "little",
            py::arg("seed") = py::none(), py::arg("collapse_last") = true);
    });
    // The device reductions: arguments are read on every rank and the ranks agree on them, so
    // a bad argument raises everywhere instead of leaving a peer in a collective.
    def_distributed(
        m, "pauli_expectations_device",
        [](const StatePtr& state, const py::sequence& paulis, const std::string& endian) {
            std::vector<PauliString> strings;
            state->agreed([&] { strings = quorra::read_pauli_strings<PauliString>(paulis); });
            return quorra::float64_array(state->pauli_expectations(strings, endian));
        },
        py::arg("state"), py::arg("paulis"), py::arg("endian") = "little");
    def_distributed(
        m, "expectation_device",
        [](const StatePtr& state, const py::sequence& terms, const std::string& endian) {
            quorra::PauliTermsArg<PauliTerm> parsed;
            state->agreed([&] { parsed = quorra::read_pauli_terms<PauliTerm>(terms); });
            return quorra::expectation_value(state->expectation(parsed.terms, endian), parsed.complex_result);
        },
        py::arg("state"), py::arg("terms"), py::arg("endian") = "little");
    def_distributed(
        m, "matrix_expectation_device",
        [](const StatePtr& state, const py::object& matrix, const std::vector<int64_t>& targets) {
            DenseMatrixArg dense;
            state->agreed([&] { dense = read_dense_matrix(matrix); });
            return state->matrix_expectation(dense.values, dense.rows, dense.cols, targets);
        },
        py::arg("state"), py::arg("matrix"), py::arg("targets"));
    def_distributed(
        m, "probabilities_device",
        [](const StatePtr& state, const std::vector<int64_t>& targets, const std::string& endian) {
            return quorra::float64_array(state->probabilities(targets, endian));
        },
        py::arg("state"), py::arg("targets"), py::arg("endian") = "little");
}

}  // namespace velqa
