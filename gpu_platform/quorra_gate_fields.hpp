// The fields every gate object from Python carries, read alike by both modules' parsers.
// Host C++ with pybind11, compiled into each module.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quorra {

struct GateFields {
    std::string id;
    std::vector<int64_t> target;
    std::vector<int64_t> control;
    std::vector<int64_t> control_state;
    std::vector<double> parameter;  // empty when the object's parameter is None
};

// Reads id, target, control, control_state and parameter in that order; a missing attribute
// or a value that does not convert raises the binding library's error at the first one.
inline GateFields read_gate_fields(const pybind11::handle& gate) {
    GateFields fields;
    fields.id = gate.attr("id").cast<std::string>();
    fields.target = gate.attr("target").cast<std::vector<int64_t>>();
    fields.control = gate.attr("control").cast<std::vector<int64_t>>();
    fields.control_state = gate.attr("control_state").cast<std::vector<int64_t>>();
    const pybind11::object parameter = gate.attr("parameter");
    if (!parameter.is_none()) {
        fields.parameter = parameter.cast<std::vector<double>>();
    }
    return fields;
}

}  // namespace quorra
