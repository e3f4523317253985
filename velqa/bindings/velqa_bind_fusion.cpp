// Python surface of the fusion engine. Gate objects are read with the interpreter lock held;
// planning and the whole execution, final wait included, run with it released, so one
// thread can plan the next chunk while another executes the current one.
#include <memory>
#include <stdexcept>
#include <utility>

#include "fusion/velqa_fusion.cuh"
#include "fusion/velqa_fusion_planner.hpp"
#include "runner/velqa_gate_parse.hpp"
#include "state/velqa_device_state.cuh"
#include "velqa_bindings.hpp"

namespace py = pybind11;

namespace velqa {

using fusion::PreparedFusionChunk;

void bind_prepared_fusion_chunk(py::module_& m) {
    py::class_<PreparedFusionChunk, std::shared_ptr<PreparedFusionChunk>>(
        m, "PreparedFusionChunk", "A gate chunk planned into fused groups on the CPU, ready to execute.")
        .def_property_readonly(
            "n", [](const PreparedFusionChunk& self) { return self.n; }, "Number of qubits the chunk was planned for.")
        .def_property_readonly(
            "gate_count", [](const PreparedFusionChunk& self) { return static_cast<int64_t>(self.gates.size()); },
            "Number of gates in the chunk.");
}

void bind_prepare_fusion_chunk_gates(py::module_& m) {
    m.def(
        "prepare_fusion_chunk_gates",
        [](int64_t n, const py::iterable& gates, bool fuse_swap, int32_t sparsesharemem_qubits,
           int32_t densemm_min_qubits, int32_t densemm_max_qubits, double densemm_gate_threshold_scale,
           int32_t max_gates_per_group, bool pad_sparsesharemem) {
            if (n < 1 || n > 62) {
                throw std::invalid_argument("n must be in [1, 62]");
            }
            auto chunk = std::make_shared<PreparedFusionChunk>();
            chunk->n = n;
            chunk->gates = parse_quantum_gates(gates);
            fusion::FusionOptions options;
            options.sparsesharemem_qubits = sparsesharemem_qubits;
            options.densemm_min_qubits = densemm_min_qubits;
            options.densemm_max_qubits = densemm_max_qubits;
            options.densemm_gate_threshold_scale = densemm_gate_threshold_scale;
            options.max_gates_per_group = max_gates_per_group;
            options.pad_sparsesharemem = pad_sparsesharemem;
            options.fuse_swap = fuse_swap;
            chunk->options = options;
            {
                py::gil_scoped_release unlocked;
                static_cast<fusion::FusionPlan&>(*chunk) = fusion::plan_fusion_chunk(n, chunk->gates, options);
            }
            return chunk;
        },
        py::arg("n"), py::arg("gates"), py::arg("fuse_swap") = true, py::arg("sparsesharemem_qubits") = 10,
        py::arg("densemm_min_qubits") = 1, py::arg("densemm_max_qubits") = 7,
        py::arg("densemm_gate_threshold_scale") = 1.0, py::arg("max_gates_per_group") = 512,
        py::arg("pad_sparsesharemem") = true, "Parse and plan one streamed chunk on the CPU without launching CUDA.");
}

void bind_execute_prepared_fusion_chunk(py::module_& m) {
    m.def(
        "execute_prepared_fusion_chunk",
        [](const std::shared_ptr<DeviceState>& state, const std::shared_ptr<PreparedFusionChunk>& chunk) {
            if (state->n() != chunk->n) {
                throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
            }
            py::gil_scoped_release unlocked;
            if (state->precision() == Precision::Complex128) {
                fusion::execute_prepared<double>(state->amplitudes<double>(), state->num_state(), state->device_id(),
                                                 *chunk);
            } else {
                fusion::execute_prepared<float>(state->amplitudes<float>(), state->num_state(), state->device_id(),
                                                *chunk);
            }
        },
        py::arg("state"), py::arg("chunk"), "Execute one CPU-prepared fusion chunk and wait for its CUDA work.");
}

}  // namespace velqa
