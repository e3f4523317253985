// Python entry points that measure and sample target qubits: measure_device,
// sample_measure_device and measure. Arguments are read with the interpreter lock held;
// it is released for the measurement only. Host C++ with pybind11.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "measure/velqa_measure.cuh"
#include "runner/run_circuit.cuh"
#include "velqa_bind_runner.hpp"
#include "velqa_bindings.hpp"

namespace py = pybind11;

namespace velqa {

// None: one 32-bit value of the platform's non-deterministic source, zero-extended.
// Otherwise the integer itself, which must fit 64 unsigned bits.
uint64_t resolve_seed(const py::object& seed) {
    if (seed.is_none()) {
        std::random_device source;
        return static_cast<uint64_t>(source());
    }
    try {
        return seed.cast<uint64_t>();
    } catch (const py::cast_error&) {
        throw std::invalid_argument("seed must be None or an integer in [0, 2**64)");
    }
}

namespace {

MeasureResult run_measurement(const DeviceState& state, const std::vector<int64_t>& targets, const std::string& endian,
                              uint64_t shots, uint64_t seed, bool collapse_last) {
    py::gil_scoped_release unlocked;
    return sample_measure_state(state, targets, endian, shots, seed, collapse_last);
}

std::string measure_one(const DeviceState& state, const std::vector<int64_t>& targets, const std::string& endian,
                        const py::object& seed) {
    check_endian(endian);
    const uint64_t value = resolve_seed(seed);
    return run_measurement(state, targets, endian, 1, value, true).last;
}

}  // namespace

// Bit strings are built straight into Python strings: a counts dictionary can hold
// a million entries.
py::dict counts_to_dict(const std::vector<OutcomeCount>& counts, int64_t k) {
    py::dict result;
    for (const OutcomeCount& entry : counts) {
        auto key = py::reinterpret_steal<py::str>(PyUnicode_New(k, 127));
        if (!key) {
            throw py::error_already_set();
        }
        write_bit_string(entry.outcome, k, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(key.ptr())));
        const py::int_ value(entry.shots);
        if (PyDict_SetItem(result.ptr(), key.ptr(), value.ptr()) != 0) {
            throw py::error_already_set();
        }
    }
    return result;
}

void bind_measure_device(py::module_& m) {
    m.def(
        "measure_device",
        [](const std::shared_ptr<DeviceState>& state, const std::vector<int64_t>& targets, const std::string& endian,
           const py::object& seed) { return measure_one(*state, targets, endian, seed); },
        py::arg("state"), py::arg("targets"), py::arg("endian") = "little", py::arg("seed") = py::none(),
        "Measure target qubits on an existing CUDA DeviceState.");
}

void bind_sample_measure_device(py::module_& m) {
    m.def(
        "sample_measure_device",
        [](const std::shared_ptr<DeviceState>& state, const std::vector<int64_t>& targets, uint64_t shots,
           const std::string& endian, const py::object& seed, bool collapse_last) {
            check_endian(endian);
            if (shots == 0) {
                throw std::invalid_argument("shots must be positive");
            }
            const uint64_t value = resolve_seed(seed);
            const MeasureResult result = run_measurement(*state, targets, endian, shots, value, collapse_last);
            return py::make_tuple(counts_to_dict(result.counts, static_cast<int64_t>(targets.size())),
                                  py::str(result.last));
        },
        py::arg("state"), py::arg("targets"), py::arg("shots"), py::arg("endian") = "little",
        py::arg("seed") = py::none(), py::arg("collapse_last") = true,
        "Batch-sample target qubits and optionally collapse to the final outcome.");
}

void bind_measure(py::module_& m) {
    m.def(
        "measure",
        [](int64_t n, const py::array& state, const std::vector<int64_t>& targets, const std::string& endian,
           const std::string& device, bool use_pinned_host) {
            const HostStateCopy copy = copy_host_state_to_device(n, state, endian, device, use_pinned_host);
            std::string bits = measure_one(*copy.device, targets, endian, py::none());
            // The caller's array is written here only, so any failure above leaves it as it was.
            copy.write_back();
            return bits;
        },
        py::arg("n"), py::arg("state"), py::arg("targets"), py::arg("endian") = "little", py::arg("device") = "cuda:0",
        py::arg("use_pinned_host") = false,
        "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is "
        "returned.");
}

}  // namespace velqa
