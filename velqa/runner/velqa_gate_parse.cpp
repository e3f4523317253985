// Reading gate_ir dictionaries and QuantumGate objects into GateRecord values.
// Host C++ with pybind11.
#include "runner/velqa_gate_parse.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <complex>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "quorra_gate_fields.hpp"

namespace py = pybind11;

namespace velqa {

namespace {

// Every accepted name; the "c" and "mc" forms are plain aliases that add no control.
constexpr std::pair<const char*, GateId> kGateNames[] = {
    {"x", GateId::X},
    {"cx", GateId::X},
    {"mcx", GateId::X},
    {"y", GateId::Y},
    {"cy", GateId::Y},
    {"mcy", GateId::Y},
    {"z", GateId::Z},
    {"cz", GateId::Z},
    {"mcz", GateId::Z},
    {"h", GateId::H},
    {"ch", GateId::H},
    {"mch", GateId::H},
    {"s", GateId::S},
    {"cs", GateId::S},
    {"mcs", GateId::S},
    {"s_dag", GateId::SDAG},
    {"sqrtx", GateId::SQRTX},
    {"sx", GateId::SQRTX},
    {"sqrtx_dag", GateId::SQRTXDAG},
    {"sxdg", GateId::SQRTXDAG},
    {"sqrty", GateId::SQRTY},
    {"sqrty_dag", GateId::SQRTYDAG},
    {"swap", GateId::SWAP},
    {"rx", GateId::RX},
    {"crx", GateId::RX},
    {"mcrx", GateId::RX},
    {"ry", GateId::RY},
    {"cry", GateId::RY},
    {"mcry", GateId::RY},
    {"rz", GateId::RZ},
    {"crz", GateId::RZ},
    {"mcrz", GateId::RZ},
    {"phase", GateId::PHASE},
    {"p", GateId::PHASE},
    {"cp", GateId::PHASE},
    {"mcp", GateId::PHASE},
    {"gp", GateId::GLOBAL_PHASE},
    {"global_phase", GateId::GLOBAL_PHASE},
    {"gphase", GateId::GLOBAL_PHASE},
    {"u", GateId::U},
    {"u1", GateId::U},
    {"u2", GateId::U},
    {"u3", GateId::U},
    {"unitary", GateId::UNITARY},
};

constexpr double kQuarterPi = 0.7853981633974483;

// Shared tail of both readers: name, id and the UNITARY checks.
void finish_record(const std::string& name, GateRecord& record) {
    record.name = normalize_t_gate(name, record.parameter);
    record.id = parse_gate_name(record.name);
}

void check_unitary_record(const GateRecord& record) {
    if (record.id != GateId::UNITARY) {
        return;
    }
    if (!record.has_matrix) {
        throw std::invalid_argument("UNITARY gate requires a matrix.");
    }
    const size_t k = record.target.size();
    if (k >= 63 || (int64_t{1} << k) != record.matrix_dim) {
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
    }
}

}  // namespace

GateId parse_gate_name(const std::string& name) {
    for (const auto& [text, id] : kGateNames) {
        if (name == text) {
            return id;
        }
    }
    throw std::invalid_argument("Unsupported CUDA gate id: " + name);
}

std::string normalize_t_gate(const std::string& name, std::vector<double>& parameter) {
    if (name == "t" || name == "ct" || name == "mct") {
        parameter.push_back(kQuarterPi);
        return "phase";
    }
    if (name == "t_dag") {
        parameter.push_back(-kQuarterPi);
        return "phase";
    }
    return name;
}

void read_unitary_matrix(const py::handle& matrix, GateRecord& record) {
    if (matrix.is_none()) {
        return;
    }
    using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;
    // ensure() clears the Python error of a failed conversion and returns a null array.
    const ComplexArray array = ComplexArray::ensure(matrix);
    if (!array) {
        throw std::invalid_argument("unitary matrix must be array-like.");
    }
    if (array.ndim() != 2 || array.shape(0) != array.shape(1) || array.shape(0) == 0) {
        throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
    }
    const int64_t dim = array.shape(0);
    record.matrix.assign(array.data(), array.data() + dim * dim);
    record.matrix_dim = dim;
    record.has_matrix = true;
}

std::vector<GateRecord> parse_gate_ir(const py::list& gate_ir) {
    std::vector<GateRecord> records;
    records.reserve(gate_ir.size());
    for (const py::handle element : gate_ir) {
        const py::dict gate = py::isinstance<py::dict>(element) ? py::reinterpret_borrow<py::dict>(element)
                                                                : py::dict(py::reinterpret_borrow<py::object>(element));
        GateRecord record;
        const auto name = gate["id"].cast<std::string>();
        record.target = gate["target"].cast<std::vector<int64_t>>();
        record.control = gate["control"].cast<std::vector<int64_t>>();
        record.control_state = gate["control_state"].cast<std::vector<int64_t>>();
        record.parameter = gate["parameter"].cast<std::vector<double>>();
        finish_record(name, record);
        if (gate.contains("matrix")) {
            read_unitary_matrix(gate["matrix"], record);  // a matrix on another gate is kept and ignored
        }
        check_unitary_record(record);
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<GateRecord> parse_quantum_gates(const py::iterable& gates) {
    std::vector<GateRecord> records;
    for (const py::handle gate : gates) {
        GateRecord record;
        quorra::GateFields fields = quorra::read_gate_fields(gate);
        record.target = std::move(fields.target);
        record.control = std::move(fields.control);
        record.control_state = std::move(fields.control_state);
        record.parameter = std::move(fields.parameter);
        finish_record(fields.id, record);
        if (record.id == GateId::UNITARY) {
            read_unitary_matrix(gate.attr("matrix"), record);
        }
        check_unitary_record(record);
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace velqa
