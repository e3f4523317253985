// Python entry points that run circuits: run_circuit_device, run_circuit_device_gates and
// run_circuit. Python objects are read with the interpreter lock held; it is released for
// the device work only. Host C++ with pybind11.
#include "velqa_bind_runner.hpp"

#include <pybind11/stl.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "runner/run_circuit.cuh"
#include "runner/velqa_gate_parse.hpp"
#include "runner/velqa_kernel_mode.hpp"
#include "velqa_bindings.hpp"
#include "velqa_numpy.hpp"

namespace py = pybind11;

namespace velqa {

namespace {

void run_records(const DeviceState& state, const std::vector<GateRecord>& records, KernelMode mode) {
    py::gil_scoped_release unlocked;
    run_gates_on_state(state, records, mode);
}

void run_gate_ir(const DeviceState& state, const py::list& gate_ir, const std::string& endian, KernelMode mode) {
    check_endian(endian);
    const std::vector<GateRecord> records = parse_gate_ir(gate_ir);
    run_records(state, records, mode);
}

}  // namespace

void HostStateCopy::write_back() const { device->download(view.ptr, view.size, use_pinned_host); }

HostStateCopy copy_host_state_to_device(int64_t n, const py::array& state, const std::string& endian,
                                        const std::string& device, bool use_pinned_host) {
    if (!state.writeable()) {
        throw std::invalid_argument("state array must be writable");
    }
    HostStateCopy copy;
    copy.view = validate_host_layout(n, state);
    check_endian(endian);
    const int device_id = parse_device(device);
    const Precision precision = array_precision(state);
    copy.device = std::make_unique<DeviceState>(n, precision, device_id);
    copy.use_pinned_host = use_pinned_host;
    copy.device->upload(copy.view.ptr, copy.view.size, use_pinned_host);
    return copy;
}

void bind_run_circuit_device(py::module_& m) {
    m.def(
        "run_circuit_device",
        [](const std::shared_ptr<DeviceState>& state, const py::list& gate_ir, const std::string& endian,
           KernelMode mode) { run_gate_ir(*state, gate_ir, endian, mode); },
        py::arg("state"), py::arg("gate_ir"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto,
        "Run a gate_ir chunk on an existing CUDA DeviceState.");
}

void bind_run_circuit_device_gates(py::module_& m) {
    m.def(
        "run_circuit_device_gates",
        [](const std::shared_ptr<DeviceState>& state, const py::iterable& gates, const std::string& endian,
           KernelMode mode) {
            check_endian(endian);
            const std::vector<GateRecord> records = parse_quantum_gates(gates);
            if (records.empty()) {
                return;
            }
            run_records(*state, records, mode);
        },
        py::arg("state"), py::arg("gates"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto,
        "Run a QuantumGate object chunk on an existing CUDA DeviceState.");
}

void bind_run_circuit(py::module_& m) {
    m.def(
        "run_circuit",
        [](int64_t n, const py::array& state, const py::list& gate_ir, const std::string& endian,
           const std::string& device, KernelMode mode, bool use_pinned_host) {
            const HostStateCopy copy = copy_host_state_to_device(n, state, endian, device, use_pinned_host);
            run_gate_ir(*copy.device, gate_ir, endian, mode);
            // The caller's array is written here only, so any failure above leaves it as it was.
            copy.write_back();
            return state;
        },
        py::arg("n"), py::arg("state"), py::arg("gate_ir"), py::arg("endian") = "little", py::arg("device") = "cuda:0",
        py::arg("mode") = KernelMode::PairAuto, py::arg("use_pinned_host") = false,
        "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.");
}

}  // namespace velqa
