// Transports of the distributed state. Host C++ against the CUDA runtime (or its stand-in).
#include "distributed/velqa_transport.hpp"

#include <cuda_runtime.h>

#include <stdexcept>

#include "state/velqa_device_state.cuh"

#if QUORRA_HAVE_NCCL
#include "distributed/velqa_nccl_transport.hpp"
#endif

namespace velqa::distributed {

void HostStagedTransport::exchange(const void* send, void* recv, int64_t count, int element_bytes, int partner,
                                   const std::function<void()>& staged) {
    const auto bytes = static_cast<size_t>(count) * static_cast<size_t>(element_bytes);
    if (send_host_.size() < bytes) {
        send_host_.resize(bytes);
        recv_host_.resize(bytes);
    }
    check_cuda(cudaMemcpy(send_host_.data(), send, bytes, cudaMemcpyDeviceToHost));
    staged();
    comm_.sendrecv(send_host_.data(), recv_host_.data(), count, element_bytes, partner);
    check_cuda(cudaMemcpy(recv, recv_host_.data(), bytes, cudaMemcpyHostToDevice));
}

void DevicePointerTransport::exchange(const void* send, void* recv, int64_t count, int element_bytes, int partner,
                                      const std::function<void()>& staged) {
    check_cuda(cudaDeviceSynchronize());
    comm_.sendrecv_device(send, recv, count, element_bytes, partner);
    check_cuda(cudaDeviceSynchronize());
    staged();
}

void check_transport(const std::string& kind) {
    if (kind == "host" || kind == "cuda_aware" || kind == "auto") {
        return;
    }
    if (kind == "nccl") {
#if QUORRA_HAVE_NCCL
        load_nccl();
        return;
#else
        throw std::invalid_argument(
            "transport 'nccl' needs velqa built for CUDA with NCCL, which this build is not; use transport='host' "
            "or 'cuda_aware'");
#endif
    }
    throw std::invalid_argument("transport must be 'host', 'cuda_aware', 'auto' or 'nccl'");
}

std::unique_ptr<Transport> make_transport(const std::string& kind, const MpiComm& comm, int32_t device) {
    check_transport(kind);
    if (kind == "host") {
        return std::make_unique<HostStagedTransport>(comm);
    }
    if (kind == "cuda_aware") {
        return std::make_unique<DevicePointerTransport>(comm);
    }
    if (kind == "auto") {
        // Decided on each rank alone: both transports make the same MPI exchanges, so ranks
        // that decide differently still pair up, and no collective is needed here.
        if (comm.library_reports_cuda_support()) {
            return std::make_unique<DevicePointerTransport>(comm);
        }
        return std::make_unique<HostStagedTransport>(comm);
    }
#if QUORRA_HAVE_NCCL
    return make_nccl_transport(comm, device);
#else
    (void)device;
    throw std::logic_error("check_transport lets only known names through");
#endif
}

}  // namespace velqa::distributed
