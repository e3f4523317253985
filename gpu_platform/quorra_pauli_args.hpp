// Reading Pauli strings and Hamiltonian terms from Python for both modules' expectation
// bindings, with the same ValueError texts. Called with the interpreter lock held.
// Host C++ with pybind11, compiled into each module's bindings.
#pragma once

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorra {

namespace pauli_args_detail {

namespace py = pybind11;

// A sequence of exactly two items, else ValueError "<what> must be a (<first>, <second>) pair".
inline py::sequence pair_of(const py::handle& item, const std::string& what, const char* shape) {
    if (!py::isinstance<py::sequence>(item) || py::isinstance<py::str>(item) || py::len(item) != 2) {
        throw std::invalid_argument(what + " must be a " + shape + " pair");
    }
    return py::reinterpret_borrow<py::sequence>(item);
}

// Python and NumPy complex numbers make the result complex; anything with a float conversion
// is a real coefficient.
inline bool is_complex_number(const py::handle& value) {
    if (PyComplex_Check(value.ptr()) != 0) {
        return true;
    }
    static const py::object complexfloating = py::module_::import("numpy").attr("complexfloating");
    return py::isinstance(value, complexfloating);
}

}  // namespace pauli_args_detail

// One (letters, qubits) pair; String is {letters, qubits}.
template <typename String>
String read_pauli_string(const pybind11::handle& item, size_t index) {
    namespace py = pybind11;
    const std::string what = "Pauli string " + std::to_string(index);
    const py::sequence pair = pauli_args_detail::pair_of(item, what, "(letters, qubits)");
    if (!py::isinstance<py::str>(pair[0])) {
        throw std::invalid_argument(what + ": letters must be a str");
    }
    String string;
    string.letters = pair[0].cast<std::string>();
    try {
        string.qubits = pair[1].cast<std::vector<int64_t>>();
    } catch (const py::cast_error&) {
        throw std::invalid_argument(what + ": qubits must be a sequence of integers");
    }
    return string;
}

template <typename String>
std::vector<String> read_pauli_strings(const pybind11::sequence& paulis) {
    std::vector<String> strings;
    strings.reserve(pybind11::len(paulis));
    for (size_t s = 0; s < pybind11::len(paulis); ++s) {
        strings.push_back(read_pauli_string<String>(paulis[s], s));
    }
    return strings;
}

template <typename Term>
struct PauliTermsArg {
    std::vector<Term> terms;
    bool complex_result = false;  // some coefficient is a complex number
};

// (coefficient, (letters, qubits)) terms; Term is {coefficient, paulis}.
template <typename Term>
PauliTermsArg<Term> read_pauli_terms(const pybind11::sequence& terms) {
    namespace py = pybind11;
    PauliTermsArg<Term> parsed;
    parsed.terms.reserve(py::len(terms));
    for (size_t t = 0; t < py::len(terms); ++t) {
        const std::string what = "term " + std::to_string(t);
        const py::sequence pair = pauli_args_detail::pair_of(terms[t], what, "(coefficient, paulis)");
        Term term;
        const py::object coefficient = pair[0];
        if (pauli_args_detail::is_complex_number(coefficient)) {
            term.coefficient = coefficient.cast<std::complex<double>>();
            parsed.complex_result = true;
        } else {
            try {
                term.coefficient = coefficient.cast<double>();
            } catch (const py::cast_error&) {
                throw std::invalid_argument(what + ": coefficient must be a real or complex number");
            }
        }
        term.paulis = read_pauli_string<decltype(term.paulis)>(pair[1], t);
        parsed.terms.push_back(std::move(term));
    }
    return parsed;
}

// A float64 array of the values.
inline pybind11::array_t<double> float64_array(const std::vector<double>& values) {
    pybind11::array_t<double> result(static_cast<pybind11::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return result;
}

// The sum as the Python number a caller expects: complex when a coefficient was complex.
inline pybind11::object expectation_value(const std::complex<double>& value, bool complex_result) {
    return complex_result ? pybind11::cast(value) : pybind11::float_(value.real());
}

}  // namespace quorra
