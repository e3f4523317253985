// Density operation objects -> DensityOperation records. Host C++ with pybind11.
#include "dravik_parse.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <complex>
#include <cstdint>
#include <quorra_gate_fields.hpp>
#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;

namespace quorra::density {

namespace {

// NumPy's own conversion: other numeric types are cast, failures raise NumPy's error.
using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;

std::vector<std::complex<double>> copy_elements(const ComplexArray& array) {
    const std::complex<double>* first = array.data();
    return std::vector<std::complex<double>>(first, first + array.size());
}

DensityOperation parse_kraus(const py::handle& object) {
    DensityOperation op;
    op.kind = DensityOperationKind::Kraus;
    op.targets = object.attr("target").cast<std::vector<int64_t>>();
    if (py::hasattr(object, "channel_name")) {
        set_channel_name(op, object.attr("channel_name").cast<std::string>());
    }
    const ComplexArray matrices(object.attr("kraus_matrices"));
    if (matrices.ndim() != 3 || matrices.shape(0) < 1 || matrices.shape(1) < 1 ||
        matrices.shape(1) != matrices.shape(2)) {
        throw std::runtime_error("Kraus matrices must have shape (count, dimension, dimension)");
    }
    op.kraus_count = static_cast<int64_t>(matrices.shape(0));
    op.kraus_dimension = static_cast<int64_t>(matrices.shape(1));
    op.kraus_matrices = copy_elements(matrices);
    return op;
}

DensityOperation parse_unitary(const py::handle& object) {
    DensityOperation op;
    op.kind = DensityOperationKind::Unitary;
    quorra::GateFields fields = quorra::read_gate_fields(object);
    set_operation_name(op, std::move(fields.id));
    op.targets = std::move(fields.target);
    op.controls = std::move(fields.control);
    op.control_state = std::move(fields.control_state);
    op.parameters = std::move(fields.parameter);
    op.has_stored_matrix = object.attr("has_stored_matrix").cast<bool>();
    if (op.has_stored_matrix) {
        const ComplexArray matrix(object.attr("stored_matrix"));
        if (matrix.ndim() != 2 || matrix.shape(0) != matrix.shape(1)) {
            throw std::runtime_error("operation matrix must be square");
        }
        op.stored_matrix = copy_elements(matrix);
    }
    return op;
}

}  // namespace

std::vector<DensityOperation> parse_density_operations(const py::iterable& operations) {
    std::vector<DensityOperation> records;
    for (const py::handle object : operations) {
        if (py::hasattr(object, "operation_kind")) {
            const std::string kind = py::str(object.attr("operation_kind")).cast<std::string>();
            if (kind != "kraus") {
                throw std::runtime_error("unsupported density operation kind '" + kind + "'");
            }
            records.push_back(parse_kraus(object));
        } else {
            records.push_back(parse_unitary(object));
        }
    }
    return records;
}

}  // namespace quorra::density
