// How half-slices travel between ranks: one interface, chosen when a distributed state is
// made. Host C++.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "distributed/velqa_mpi_comm.hpp"

namespace velqa::distributed {

class Transport {
public:
    virtual ~Transport() = default;
    virtual const char* name() const = 0;
    // Sends `count` elements of `element_bytes` from device memory `send` to `partner` and
    // receives as many from it into device memory `recv`. Calls `staged` as soon as `send` may
    // be overwritten (before the transfer where the transport copies it first), so the caller
    // can queue the packing of its next message on the device while this one travels. Waits
    // for both directions.
    virtual void exchange(const void* send, void* recv, int64_t count, int element_bytes, int partner,
                          const std::function<void()>& staged) = 0;
};

// MPI through host memory, the default that works with every MPI library: device to host
// copy, one paired MPI exchange, host to device copy, through two host buffers that grow to
// the largest exchange asked for and are reused.
class VELQA_HOLDS_PYTHON HostStagedTransport final : public Transport {
public:
    explicit HostStagedTransport(const MpiComm& comm) : comm_(comm) {}
    const char* name() const override { return "host"; }
    void exchange(const void* send, void* recv, int64_t count, int element_bytes, int partner,
                  const std::function<void()>& staged) override;

private:
    const MpiComm& comm_;
    std::vector<unsigned char> send_host_;
    std::vector<unsigned char> recv_host_;
};

// MPI on device pointers, for a CUDA-aware MPI library: no host copies. MPI reads `send` and
// writes `recv` outside the device's stream order, so the device is synchronised before the
// transfer (the packing of `send` and the unpacking of the previous `recv` are done) and after
// it (before the caller unpacks); `staged` runs only once MPI is done with `send`.
class VELQA_HOLDS_PYTHON DevicePointerTransport final : public Transport {
public:
    explicit DevicePointerTransport(const MpiComm& comm) : comm_(comm) {}
    const char* name() const override { return "cuda_aware"; }
    void exchange(const void* send, void* recv, int64_t count, int element_bytes, int partner,
                  const std::function<void()>& staged) override;

private:
    const MpiComm& comm_;
};

// Checks a transport name without communication, before anything is allocated: "host",
// "cuda_aware" and "auto" pass; "nccl" opens the NCCL library in a cuda build made with NCCL
// (std::runtime_error naming what to install when it cannot) and is refused with a
// std::invalid_argument in any other build; any other name is refused with one too.
void check_transport(const std::string& kind);

// "host" gives the host-staged transport, "cuda_aware" the device-pointer one without asking
// the library (probes can be wrong), "auto" the device-pointer one where this rank's MPI
// library reports CUDA support, else the host-staged one (ranks may differ: the two make the
// same MPI exchanges, so they pair up). "nccl" sets up NCCL on `device`, collectively: every
// rank of `comm` must ask for it. Checks `kind` first as check_transport does.
std::unique_ptr<Transport> make_transport(const std::string& kind, const MpiComm& comm, int32_t device);

}  // namespace velqa::distributed
