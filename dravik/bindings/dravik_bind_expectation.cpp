// Python entry points for density expectation values and probabilities:
// pauli_expectations_device, expectation_device and probabilities_device. Arguments are read
// with the interpreter lock held; it is released for the device work only.
// Host C++ with pybind11.
#include "dravik_bind_expectation.hpp"

#include <complex>
#include <cstdint>
#include <memory>
#include <quorra_pauli_args.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "../kernels/dravik_expectation.cuh"

namespace py = pybind11;

namespace quorra::dravik {

namespace {

py::array_t<double> pauli_expectations_device(const std::shared_ptr<DeviceDensityState>& state,
                                              const py::sequence& paulis) {
    const std::vector<DensityPauliString> strings = read_pauli_strings<DensityPauliString>(paulis);
    std::vector<double> values;
    {
        py::gil_scoped_release unlocked;
        values = density_pauli_expectations(*state, strings);
    }
    return float64_array(values);
}

py::object expectation_device(const std::shared_ptr<DeviceDensityState>& state, const py::sequence& terms) {
    const PauliTermsArg<DensityPauliTerm> parsed = read_pauli_terms<DensityPauliTerm>(terms);
    std::complex<double> value;
    {
        py::gil_scoped_release unlocked;
        value = density_expectation(*state, parsed.terms);
    }
    return expectation_value(value, parsed.complex_result);
}

py::array_t<double> probabilities_device(const std::shared_ptr<DeviceDensityState>& state,
                                         const std::vector<int64_t>& targets, const std::string& endian) {
    std::vector<double> probs;
    {
        py::gil_scoped_release unlocked;
        probs = density_probabilities(*state, targets, endian);
    }
    return float64_array(probs);
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
