// The MPI side of a distributed state: a duplicate of the caller's mpi4py communicator and
// the few operations the state needs, each a call of the communicator's own methods on
// buffer objects. Host C++ with pybind11; no MPI header is needed, so the module builds and
// imports where MPI is not installed, and a distributed call then says what to install.
//
// Every method is collective or paired as MPI requires and takes the interpreter lock for
// the duration of its call (mpi4py releases it again while MPI blocks).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

// Types that hold Python objects take pybind11's hidden visibility, as the module does.
#define VELQA_HOLDS_PYTHON __attribute__((visibility("hidden")))

namespace velqa::distributed {

// What one rank reports about a step that may have failed: kind 0 is success.
struct StepStatus {
    int32_t kind = 0;  // 0 ok, 1 invalid argument, 2 runtime error, 3 out of range, 4 Python error
    std::string message;
};

class VELQA_HOLDS_PYTHON MpiComm {
public:
    // Duplicates `comm` (mpi4py's COMM_WORLD when None). Throws std::runtime_error naming
    // what to install when mpi4py cannot be imported.
    explicit MpiComm(const pybind11::object& comm);
    ~MpiComm();
    MpiComm(const MpiComm&) = delete;
    MpiComm& operator=(const MpiComm&) = delete;

    int rank() const { return rank_; }
    int size() const { return size_; }
    // This rank's number among the ranks of its node.
    int node_rank() const;

    // Exchanges `count` elements of `element_bytes` (8: complex64, 16: complex128) with
    // `partner`: sends from `send`, receives into `recv` (host memory).
    void sendrecv(const void* send, void* recv, int64_t count, int element_bytes, int partner) const;
    // The same with `send` and `recv` in device memory, handed to MPI as device pointers: only
    // for a CUDA-aware MPI library (or the host stand-in, whose device memory is host memory).
    void sendrecv_device(const void* send, void* recv, int64_t count, int element_bytes, int partner) const;
    // Whether the MPI library says it takes device pointers: mpi4py's Query_cuda_support where
    // it has one, else Open MPI's MPIX_Query_cuda_support; false when neither answers.
    bool library_reports_cuda_support() const;
    void send(const void* data, int64_t count, int element_bytes, int dest) const;
    void recv(void* data, int64_t count, int element_bytes, int source) const;
    // Root receives size() blocks of `count` doubles, in rank order.
    void gather_doubles(const double* send, double* recv, int64_t count, int root) const;
    // Every rank gets root's bytes (resized on the receivers).
    void broadcast_bytes(std::vector<uint8_t>& bytes, int root) const;
    // Every rank's value, in rank order.
    std::vector<uint64_t> allgather_u64(uint64_t value) const;
    std::vector<StepStatus> allgather_status(const StepStatus& status) const;
    // Ends every process of the communicator; for failures that leave a partner waiting.
    [[noreturn]] void abort(const std::string& message) const;

private:
    pybind11::object mpi_;   // the mpi4py.MPI module
    pybind11::object comm_;  // our duplicate
    int rank_ = 0;
    int size_ = 1;
};

}  // namespace velqa::distributed
