// Python entry points for density expectation values and probabilities:
// pauli_expectations_device, expectation_device and probabilities_device. Arguments are read
// with the interpreter lock held; it is released for the device work only.
// Host C++ with pybind11.
#include "dravik_bind_expectation.hpp"

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <complex>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../kernels/dravik_expectation.cuh"

namespace py = pybind11;

namespace quorra::dravik {

namespace {

// A sequence of exactly two items, else ValueError "<what> must be a (<first>, <second>) pair".
py::sequence two_items(const py::handle& item, const std::string& what, const char* shape) {
    if (!py::isinstance<py::sequence>(item) || py::isinstance<py::str>(item) || py::len(item) != 2) {
        throw std::invalid_argument(what + " must be a " + shape + " pair");
    }
    return py::reinterpret_borrow<py::sequence>(item);
}

DensityPauliString read_string(const py::handle& item, size_t index) {
    const std::string what = "Pauli string " + std::to_string(index);
    const py::sequence pair = two_items(item, what, "(letters, qubits)");
    if (!py::isinstance<py::str>(pair[0])) {
        throw std::invalid_argument(what + ": letters must be a str");
    }
    DensityPauliString string{pair[0].cast<std::string>(), {}};
    try {
        string.qubits = pair[1].cast<std::vector<int64_t>>();
    } catch (const py::cast_error&) {
        throw std::invalid_argument(what + ": qubits must be a sequence of integers");
    }
    return string;
}

// A Python or NumPy complex coefficient makes the sum complex.
bool complex_coefficient(const py::handle& value) {
    static const py::object complexfloating = py::module_::import("numpy").attr("complexfloating");
    return PyComplex_Check(value.ptr()) != 0 || py::isinstance(value, complexfloating);
}

py::array_t<double> as_float64(const std::vector<double>& values) {
    py::array_t<double> result(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return result;
}

py::array_t<double> pauli_expectations_device(const std::shared_ptr<DeviceDensityState>& state,
                                              const py::sequence& paulis) {
    std::vector<DensityPauliString> strings;
    for (size_t s = 0; s < py::len(paulis); ++s) {
        strings.push_back(read_string(paulis[s], s));
    }
    std::vector<double> values;
    {
        py::gil_scoped_release unlocked;
        values = density_pauli_expectations(*state, strings);
    }
    return as_float64(values);
}

py::object expectation_device(const std::shared_ptr<DeviceDensityState>& state, const py::sequence& terms) {
    std::vector<DensityPauliTerm> records;
    bool complex_result = false;
    for (size_t t = 0; t < py::len(terms); ++t) {
        const std::string what = "term " + std::to_string(t);
        const py::sequence pair = two_items(terms[t], what, "(coefficient, paulis)");
        DensityPauliTerm term;
        if (complex_coefficient(pair[0])) {
            term.coefficient = pair[0].cast<std::complex<double>>();
            complex_result = true;
        } else {
            try {
                term.coefficient = pair[0].cast<double>();
            } catch (const py::cast_error&) {
                throw std::invalid_argument(what + ": coefficient must be a real or complex number");
            }
        }
        term.paulis = read_string(pair[1], t);
        records.push_back(std::move(term));
    }
    std::complex<double> value;
    {
        py::gil_scoped_release unlocked;
        value = density_expectation(*state, records);
    }
    return complex_result ? py::cast(value) : py::float_(value.real());
}

py::array_t<double> probabilities_device(const std::shared_ptr<DeviceDensityState>& state,
                                         const std::vector<int64_t>& targets, const std::string& endian) {
    std::vector<double> probs;
    {
        py::gil_scoped_release unlocked;
        probs = density_probabilities(*state, targets, endian);
    }
    return as_float64(probs);
}

}  // namespace

void bind_expectation(py::module_& m) {
    m.def("pauli_expectations_device", &pauli_expectations_device, py::arg("state"), py::arg("paulis"),
          "Tr(rho P) of each Pauli string (letters, qubits), as float64.");
    m.def("expectation_device", &expectation_device, py::arg("state"), py::arg("terms"),
          "Tr(rho H) for H given as (coefficient, (letters, qubits)) terms; 0.0 for no terms.");
    m.def("probabilities_device", &probabilities_device, py::arg("state"), py::arg("targets"),
          py::arg("endian") = "little",
          "Outcome probabilities of the targets without collapsing; bit j of the index is the value of "
          "targets[j].");
}

}  // namespace quorra::dravik
