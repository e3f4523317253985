// The dravik module body: the density state class and the two module functions.
// Host C++ with pybind11; device work is reached through the runner and the launchers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../kernels/dravik_measure.cuh"
#include "../runner/run_density.hpp"
#include "../state/dravik_device_state.cuh"
#include "dravik_bind_expectation.hpp"
#include "dravik_dlpack.hpp"
#include "dravik_parse.hpp"

namespace py = pybind11;
using quorra::dravik::DeviceDensityState;

namespace {

// Negative counts wrap to huge unsigned values and meet the same range message.
uint64_t qubit_count(int64_t n) { return static_cast<uint64_t>(n); }

void check_endian(const std::string& endian) {
    if (endian != "little" && endian != "big") {
        throw std::invalid_argument("endian must be 'little' or 'big'");
    }
}

std::shared_ptr<DeviceDensityState> from_numpy(int64_t n, const py::array& state, const std::string& device) {
    if (qubit_count(n) > quorra::dravik::kMaxDensityQubits) {
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    }
    const py::ssize_t side = py::ssize_t{1} << n;
    if (state.ndim() != 2 || state.shape(0) != side || state.shape(1) != side) {
        throw std::invalid_argument("state shape must be (2**n, 2**n)");
    }
    if ((state.flags() & py::array::c_style) == 0) {
        throw std::invalid_argument("state must be C-contiguous");
    }
    if (!state.writeable()) {
        throw std::invalid_argument("state must be writable");
    }
    const bool is_double = quorra::dravik::parse_dtype(py::str(state.dtype()).cast<std::string>());
    const int device_id = quorra::dravik::parse_device(device);
    auto result = quorra::dravik::create_density_state(qubit_count(n), is_double, device_id);
    const py::buffer_info view = state.request(false);
    {
        py::gil_scoped_release unlocked;
        result->upload_density(view.ptr, static_cast<int64_t>(view.size));
    }
    return result;
}

std::shared_ptr<DeviceDensityState> zero_state(int64_t n, const std::string& dtype, const std::string& device) {
    const int device_id = quorra::dravik::parse_device(device);
    const bool is_double = quorra::dravik::parse_dtype(dtype);
    auto result = quorra::dravik::create_density_state(qubit_count(n), is_double, device_id);
    {
        py::gil_scoped_release unlocked;
        result->reset_to_zero_state();
    }
    return result;
}

py::array to_numpy(const DeviceDensityState& self) {
    const auto side = static_cast<py::ssize_t>(self.dimension());
    py::array result(py::dtype(self.dtype_name()), std::vector<py::ssize_t>{side, side});
    void* out = result.mutable_data();
    {
        py::gil_scoped_release unlocked;
        self.download_density(out, self.element_count());
    }
    return result;
}

void run_density_operations_device(DeviceDensityState& state, int64_t num_qubits, const py::iterable& operations) {
    const std::vector<quorra::density::DensityOperation> records =
        quorra::density::parse_density_operations(operations);
    if (records.empty()) {
        return;
    }
    py::gil_scoped_release unlocked;
    quorra::density::run_density_operations(state, num_qubits, records);
}

std::string measure_device(const DeviceDensityState& state, const std::vector<int64_t>& targets,
                           const std::string& endian, const py::object& seed) {
    check_endian(endian);
    uint64_t seed_value = 0;
    if (seed.is_none()) {
        std::random_device source;
        seed_value = source();
    } else {
        seed_value = seed.cast<uint64_t>();
    }
    py::gil_scoped_release unlocked;
    return quorra::dravik::measure_density(state, targets, endian, seed_value);
}

void bind_density_state(py::module_& m) {
    py::class_<DeviceDensityState, std::shared_ptr<DeviceDensityState>> cls(
        m, "DeviceDensityState", "An n-qubit density matrix (n <= 15) held in the memory of one CUDA device.");
    cls.def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state"), py::arg("device") = "cuda:0",
                   "Copy a C-contiguous complex64 or complex128 numpy matrix of shape (2**n, 2**n) to a new "
                   "DeviceDensityState.")
        .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                    py::arg("device") = "cuda:0", "Allocate a DeviceDensityState of n qubits set to |0...0><0...0|.")
        .def("to_numpy", &to_numpy, "Copy the density matrix into a new numpy array of shape (2**n, 2**n).")
        .def(
            "copy", [](const DeviceDensityState& self) { return self.clone_density_state(); },
            "A new DeviceDensityState with its own device copy of the matrix.")
        .def_property_readonly(
            "num_qubits", [](const DeviceDensityState& self) { return self.num_qubits(); }, "Number of qubits n.")
        .def_property_readonly(
            "dimension", [](const DeviceDensityState& self) { return self.dimension(); }, "Side of the matrix, 2**n.")
        .def_property_readonly(
            "dtype", [](const DeviceDensityState& self) { return std::string(self.dtype_name()); },
            "Element dtype: 'complex64' or 'complex128'.")
        .def_property_readonly(
            "device_id", [](const DeviceDensityState& self) { return self.device_id(); },
            "CUDA device ordinal holding the matrix.");
    quorra::dravik::dlpack::bind_state_exchange(cls);
}

}  // namespace

PYBIND11_MODULE(dravik, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "CUDA dense density-matrix backend for quorra";
    bind_density_state(m);
    m.def("run_density_operations_device", &run_density_operations_device, py::arg("state"), py::arg("num_qubits"),
          py::arg("operations"),
          "Apply density operations (named or explicit unitaries, Kraus maps) in order to the state in place.");
    m.def("measure_device", &measure_device, py::arg("state"), py::arg("targets"), py::arg("endian") = "little",
          py::arg("seed") = py::none(),
          "Measure the target qubits, collapse the state and return one '0'/'1' character per target.");
    quorra::dravik::bind_expectation(m);
}
