// The velqa module body: registration of everything Python sees, in a fixed order.
// Host C++ with pybind11; device work is reached through the subsystems' launchers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "../runner/velqa_kernel_mode.hpp"
#include "../state/velqa_device_state.cuh"
#include "velqa_bindings.hpp"
#include "velqa_dlpack.hpp"
#include "velqa_numpy.hpp"

namespace py = pybind11;
using velqa::DeviceState;
using velqa::KernelMode;
using velqa::Precision;

namespace {

void bind_kernel_mode(py::module_& m) {
    py::enum_<KernelMode>(m, "KernelMode")
        .value("AllState", KernelMode::AllState)
        .value("Pair", KernelMode::Pair)
        .value("PairAuto", KernelMode::PairAuto)
        .value("PairAutoFusion", KernelMode::PairAutoFusion)
        .export_values();
}

void bind_device_state(py::module_& m) {
    py::class_<DeviceState, std::shared_ptr<DeviceState>> cls(m, "DeviceState",
                                                              "An n-qubit state vector held in the memory of one "
                                                              "CUDA device.");
    cls.def_static(
           "from_numpy",
           [](int64_t n, const py::array& state, const std::string& device, bool use_pinned_host) {
               velqa::validate_host_state(n, state);
               const int device_id = velqa::parse_device(device);
               const Precision precision = velqa::array_precision(state);
               auto result = std::make_shared<DeviceState>(n, precision, device_id);
               const py::buffer_info view = state.request(false);
               {
                   py::gil_scoped_release unlocked;
                   result->upload(view.ptr, view.size, use_pinned_host);
               }
               return result;
           },
           py::arg("n"), py::arg("state"), py::arg("device") = "cuda:0", py::arg("use_pinned_host") = false,
           "Copy a 1-D complex64 or complex128 numpy state of 2**n amplitudes to a new DeviceState.")
        .def_static(
            "zero_state",
            [](int64_t n, const std::string& dtype, const std::string& device) {
                const int device_id = velqa::parse_device(device);
                const Precision precision = velqa::parse_dtype(dtype);
                auto result = std::make_shared<DeviceState>(n, precision, device_id);
                {
                    py::gil_scoped_release unlocked;
                    result->fill_zero_state();
                }
                return result;
            },
            py::arg("n"), py::arg("dtype") = "complex128", py::arg("device") = "cuda:0",
            "Allocate a DeviceState of n qubits in the basis state |0...0>.")
        .def(
            "to_numpy",
            [](const DeviceState& self, bool use_pinned_host) {
                py::array result(py::dtype(velqa::dtype_name(self.precision())),
                                 std::vector<py::ssize_t>{static_cast<py::ssize_t>(self.num_state())});
                void* out = result.mutable_data();
                {
                    py::gil_scoped_release unlocked;
                    self.download(out, self.num_state(), use_pinned_host);
                }
                return result;
            },
            py::arg("use_pinned_host") = false, "Copy the amplitudes into a new 1-D numpy array.")
        .def(
            "copy_to_numpy",
            [](const DeviceState& self, const py::array& state, bool use_pinned_host) {
                if (!state.writeable()) {
                    throw std::invalid_argument("state array must be writable");
                }
                const py::buffer_info view = velqa::validate_host_state(self.n(), state);
                if (velqa::array_precision(state) != self.precision()) {
                    throw std::invalid_argument("numpy state dtype does not match DeviceState");
                }
                py::gil_scoped_release unlocked;
                self.download(view.ptr, view.size, use_pinned_host);
            },
            py::arg("state"), py::arg("use_pinned_host") = false,
            "Copy the amplitudes into an existing writable numpy array of the same dtype and size.")
        .def_property_readonly("n", &DeviceState::n, "Number of qubits.")
        .def_property_readonly("num_state", &DeviceState::num_state, "Number of amplitudes, 2**n.")
        .def_property_readonly("device_id", &DeviceState::device_id, "CUDA device ordinal holding the state.")
        .def_property_readonly(
            "dtype", [](const DeviceState& self) { return std::string(velqa::dtype_name(self.precision())); },
            "Amplitude dtype: 'complex64' or 'complex128'.");
    velqa::dlpack::bind_state_exchange(cls);
}

}  // namespace

PYBIND11_MODULE(velqa, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "CUDA gate backend for quorra";
    bind_kernel_mode(m);
    bind_device_state(m);
    velqa::bind_prepared_fusion_chunk(m);
    velqa::bind_run_circuit_device(m);
    velqa::bind_prepare_fusion_chunk_gates(m);
    velqa::bind_execute_prepared_fusion_chunk(m);
    velqa::bind_run_circuit_device_gates(m);
    velqa::bind_measure_device(m);
    velqa::bind_sample_measure_device(m);
    velqa::bind_run_circuit(m);
    velqa::bind_measure(m);
    velqa::bind_expectation(m);
    // Beyond one device: the distributed state and its overloads of the functions above.
    velqa::bind_distributed_state(m);
    velqa::bind_distributed_overloads(m);
}
