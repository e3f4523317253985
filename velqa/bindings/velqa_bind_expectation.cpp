// Python entry points for expectation values and outcome probabilities on a DeviceState:
// pauli_expectations_device, expectation_device, matrix_expectation_device and
// probabilities_device. Arguments are read with the interpreter lock held; it is released
// for the device work only. Host C++ with pybind11.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "measure/velqa_expectation.cuh"
#include "quorra_pauli_args.hpp"
#include "velqa_bindings.hpp"

namespace py = pybind11;

namespace velqa {

using quorra::expectation_value;
using quorra::float64_array;

DenseMatrixArg read_dense_matrix(const py::object& matrix) {
    // Anything NumPy turns into a complex128 array (nested lists, real arrays); NumPy's own
    // error otherwise. A shape other than two dimensions is left for the checks to name.
    const py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast> dense(matrix);
    DenseMatrixArg out;
    out.rows = dense.ndim() == 2 ? dense.shape(0) : -1;
    out.cols = dense.ndim() == 2 ? dense.shape(1) : -1;
    out.values.assign(dense.data(), dense.data() + dense.size());
    return out;
}

void bind_expectation(py::module_& m) {
    m.def(
        "pauli_expectations_device",
        [](const std::shared_ptr<DeviceState>& state, const py::sequence& paulis, const std::string& endian) {
            const std::vector<PauliString> strings = quorra::read_pauli_strings<PauliString>(paulis);
            std::vector<double> values;
            {
                py::gil_scoped_release unlocked;
                values = pauli_expectations_state(*state, strings, endian);
            }
            return float64_array(values);
        },
        py::arg("state"), py::arg("paulis"), py::arg("endian") = "little",
        "<psi|P|psi> of each Pauli string (letters, qubits) on an existing CUDA DeviceState, as float64.");
    m.def(
        "expectation_device",
        [](const std::shared_ptr<DeviceState>& state, const py::sequence& terms,
           const std::string& endian) -> py::object {
            const quorra::PauliTermsArg<PauliTerm> parsed = quorra::read_pauli_terms<PauliTerm>(terms);
            std::complex<double> value;
            {
                py::gil_scoped_release unlocked;
                value = expectation_state(*state, parsed.terms, endian);
            }
            return expectation_value(value, parsed.complex_result);
        },
        py::arg("state"), py::arg("terms"), py::arg("endian") = "little",
        "<psi|H|psi> for H given as (coefficient, (letters, qubits)) terms; 0.0 for no terms.");
    m.def(
        "matrix_expectation_device",
        [](const std::shared_ptr<DeviceState>& state, const py::object& matrix, const std::vector<int64_t>& targets) {
            const DenseMatrixArg dense = read_dense_matrix(matrix);
            py::gil_scoped_release unlocked;
            return matrix_expectation_state(*state, dense.values, dense.rows, dense.cols, targets);
        },
        py::arg("state"), py::arg("matrix"), py::arg("targets"),
        "<psi|M|psi> for a dense 2**k x 2**k matrix on k targets (bit j of its index is targets[j]).");
    m.def(
        "probabilities_device",
        [](const std::shared_ptr<DeviceState>& state, const std::vector<int64_t>& targets, const std::string& endian) {
            std::vector<double> probs;
            {
                py::gil_scoped_release unlocked;
                probs = probabilities_state(*state, targets, endian);
            }
            return float64_array(probs);
        },
        py::arg("state"), py::arg("targets"), py::arg("endian") = "little",
        "Outcome probabilities of the targets without collapsing; bit j of the index is the value of "
        "targets[j].");
}

}  // namespace velqa
