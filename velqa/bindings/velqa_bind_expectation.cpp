// Python entry points for expectation values and outcome probabilities on a DeviceState:
// pauli_expectations_device, expectation_device, matrix_expectation_device and
// probabilities_device. Arguments are read with the interpreter lock held; it is released
// for the device work only. Host C++ with pybind11.
#include "velqa_bind_expectation.hpp"

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

namespace py = pybind11;

namespace velqa {

namespace {

// A sequence of exactly two items, else ValueError "<what> must be a (<first>, <second>) pair".
py::sequence pair_of(const py::handle& item, const std::string& what, const char* shape) {
    if (!py::isinstance<py::sequence>(item) || py::isinstance<py::str>(item) || py::len(item) != 2) {
        throw std::invalid_argument(what + " must be a " + shape + " pair");
    }
    return py::reinterpret_borrow<py::sequence>(item);
}

PauliString parse_pauli(const py::handle& item, size_t index) {
    const std::string what = "Pauli string " + std::to_string(index);
    const py::sequence pair = pair_of(item, what, "(letters, qubits)");
    if (!py::isinstance<py::str>(pair[0])) {
        throw std::invalid_argument(what + ": letters must be a str");
    }
    PauliString string;
    string.letters = pair[0].cast<std::string>();
    try {
        string.qubits = pair[1].cast<std::vector<int64_t>>();
    } catch (const py::cast_error&) {
        throw std::invalid_argument(what + ": qubits must be a sequence of integers");
    }
    return string;
}

std::vector<PauliString> parse_paulis(const py::sequence& paulis) {
    std::vector<PauliString> strings;
    strings.reserve(py::len(paulis));
    for (size_t s = 0; s < py::len(paulis); ++s) {
        strings.push_back(parse_pauli(paulis[s], s));
    }
    return strings;
}

// Python and NumPy complex numbers make the result complex; anything with a float conversion
// is a real coefficient.
bool is_complex_number(const py::handle& value) {
    if (PyComplex_Check(value.ptr()) != 0) {
        return true;
    }
    static const py::object complexfloating = py::module_::import("numpy").attr("complexfloating");
    return py::isinstance(value, complexfloating);
}

struct ParsedTerms {
    std::vector<PauliTerm> terms;
    bool complex_result = false;
};

ParsedTerms parse_terms(const py::sequence& terms) {
    ParsedTerms parsed;
    parsed.terms.reserve(py::len(terms));
    for (size_t t = 0; t < py::len(terms); ++t) {
        const std::string what = "term " + std::to_string(t);
        const py::sequence pair = pair_of(terms[t], what, "(coefficient, paulis)");
        PauliTerm term;
        const py::object coefficient = pair[0];
        if (is_complex_number(coefficient)) {
            term.coefficient = coefficient.cast<std::complex<double>>();
            parsed.complex_result = true;
        } else {
            try {
                term.coefficient = coefficient.cast<double>();
            } catch (const py::cast_error&) {
                throw std::invalid_argument(what + ": coefficient must be a real or complex number");
            }
        }
        term.paulis = parse_pauli(pair[1], t);
        parsed.terms.push_back(std::move(term));
    }
    return parsed;
}

py::array_t<double> to_array(const std::vector<double>& values) {
    py::array_t<double> result(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return result;
}

}  // namespace

void bind_expectation(py::module_& m) {
    m.def(
        "pauli_expectations_device",
        [](const std::shared_ptr<DeviceState>& state, const py::sequence& paulis, const std::string& endian) {
            const std::vector<PauliString> strings = parse_paulis(paulis);
            std::vector<double> values;
            {
                py::gil_scoped_release unlocked;
                values = pauli_expectations_state(*state, strings, endian);
            }
            return to_array(values);
        },
        py::arg("state"), py::arg("paulis"), py::arg("endian") = "little",
        "<psi|P|psi> of each Pauli string (letters, qubits) on an existing CUDA DeviceState, as float64.");
    m.def(
        "expectation_device",
        [](const std::shared_ptr<DeviceState>& state, const py::sequence& terms,
           const std::string& endian) -> py::object {
            const ParsedTerms parsed = parse_terms(terms);
            std::complex<double> value;
            {
                py::gil_scoped_release unlocked;
                value = expectation_state(*state, parsed.terms, endian);
            }
            if (parsed.complex_result) {
                return py::cast(value);
            }
            return py::float_(value.real());
        },
        py::arg("state"), py::arg("terms"), py::arg("endian") = "little",
        "<psi|H|psi> for H given as (coefficient, (letters, qubits)) terms; 0.0 for no terms.");
    m.def(
        "matrix_expectation_device",
        [](const std::shared_ptr<DeviceState>& state, const py::object& matrix, const std::vector<int64_t>& targets) {
            // Anything NumPy turns into a complex128 array (nested lists, real arrays); NumPy's own
            // error otherwise.
            const py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast> dense(matrix);
            const int64_t rows = dense.ndim() == 2 ? dense.shape(0) : -1;
            const int64_t cols = dense.ndim() == 2 ? dense.shape(1) : -1;
            std::vector<std::complex<double>> values(dense.data(), dense.data() + dense.size());
            py::gil_scoped_release unlocked;
            return matrix_expectation_state(*state, values, rows, cols, targets);
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
            return to_array(probs);
        },
        py::arg("state"), py::arg("targets"), py::arg("endian") = "little",
        "Outcome probabilities of the targets without collapsing; bit j of the index is the value of "
        "targets[j].");
}

}  // namespace velqa
