// The NCCL transport. Host C++ against the CUDA runtime and nccl.h (cuda build only).
#include "distributed/velqa_nccl_transport.hpp"

#include <cuda_runtime.h>
#include <nccl.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "distributed/velqa_agreement.hpp"
#include "distributed/velqa_shared_library.hpp"
#include "state/velqa_device_state.cuh"

namespace py = pybind11;

namespace velqa::distributed {

namespace {

// The NCCL entry points used here, typed from nccl.h's own declarations.
struct NcclApi {
    decltype(&ncclGetUniqueId) get_unique_id;
    decltype(&ncclCommInitRank) comm_init_rank;
    decltype(&ncclSend) send;
    decltype(&ncclRecv) recv;
    decltype(&ncclGroupStart) group_start;
    decltype(&ncclGroupEnd) group_end;
    decltype(&ncclCommAbort) comm_abort;
    decltype(&ncclGetErrorString) error_string;
};

// Written once under the interpreter lock (load_nccl), read-only afterwards.
std::optional<NcclApi> nccl_api;

// Where an nvidia-nccl-cu* wheel keeps the library (site-packages/nvidia/nccl/lib), or "".
std::string wheel_library() {
    try {
        // The wheel's folder is a package without code: importing it only finds its path.
        const py::list dirs(py::module_::import("nvidia.nccl").attr("__path__"));
        if (!dirs.empty()) {
            return py::str(dirs[0]).cast<std::string>() + "/lib/libnccl.so.2";
        }
    } catch (const py::error_already_set&) {
        // No such wheel: only the loader's search is left.
    }
    return {};
}

class NcclTransport final : public Transport {
public:
    NcclTransport(const NcclApi& api, int32_t device) : api_(api), device_(device) {}
    // Never throws, and never waits for a peer: every exchange has finished on the device, so
    // the communicator is aborted (a local teardown) rather than destroyed (which may wait for
    // the other ranks, and hangs if one of them keeps its state alive longer).
    ~NcclTransport() override {
        (void)cudaSetDevice(device_);
        if (comm_ != nullptr) {
            (void)api_.comm_abort(comm_);
        }
        if (ready_ != nullptr) {
            (void)cudaEventDestroy(ready_);
        }
        if (stream_ != nullptr) {
            (void)cudaStreamDestroy(stream_);
        }
    }
    NcclTransport(const NcclTransport&) = delete;
    NcclTransport& operator=(const NcclTransport&) = delete;

    const char* name() const override { return "nccl"; }

    // This rank's part of the set-up that cannot involve the others.
    void prepare() {
        check_cuda(cudaSetDevice(device_));
        check_cuda(cudaStreamCreateWithFlags(&stream_, cudaStreamNonBlocking));
        check_cuda(cudaEventCreateWithFlags(&ready_, cudaEventDisableTiming));
    }

    // Collective: returns once every rank has joined.
    void join(int size, const ncclUniqueId& id, int rank) {
        check_cuda(cudaSetDevice(device_));
        ncclComm_t comm = nullptr;
        check(api_.comm_init_rank(&comm, size, id, rank), "ncclCommInitRank",
              "; NCCL needs its own GPU for every rank, and NCCL_DEBUG=WARN tells more");
        comm_ = comm;
    }

    void exchange(const void* send, void* recv, int64_t count, int element_bytes, int partner,
                  const std::function<void()>& staged) override {
        const auto bytes = static_cast<size_t>(count) * static_cast<size_t>(element_bytes);
        check_cuda(cudaSetDevice(device_));
        // NCCL's stream starts behind the default stream's work: the packing of `send` and the
        // unpacking of the previous `recv`.
        check_cuda(cudaEventRecord(ready_, cudaStream_t{0}));
        check_cuda(cudaStreamWaitEvent(stream_, ready_, 0));
        // One group, so that the send and the receive progress together and cannot deadlock.
        check(api_.group_start(), "ncclGroupStart");
        check(api_.send(send, bytes, ncclUint8, partner, comm_, stream_), "ncclSend");
        check(api_.recv(recv, bytes, ncclUint8, partner, comm_, stream_), "ncclRecv");
        check(api_.group_end(), "ncclGroupEnd");
        check_cuda(cudaStreamSynchronize(stream_));
        // Both directions are done: `send` may be overwritten, `recv` is ready to unpack.
        staged();
    }

private:
    void check(ncclResult_t result, const char* call, const char* hint = "") const {
        if (result != ncclSuccess) {
            throw std::runtime_error(std::string(call) + " failed: " + api_.error_string(result) + hint);
        }
    }

    const NcclApi& api_;
    int32_t device_;
    cudaStream_t stream_ = nullptr;
    cudaEvent_t ready_ = nullptr;
    ncclComm_t comm_ = nullptr;
};

}  // namespace

void load_nccl() {
    if (nccl_api) {
        return;
    }
    std::vector<std::string> candidates{"libnccl.so.2"};
    if (std::string path = wheel_library(); !path.empty()) {
        candidates.push_back(std::move(path));
    }
    const std::string wheel = "nvidia-nccl-cu" + std::to_string(CUDART_VERSION / 1000);
    const std::string remedy = "install the " + wheel + " wheel (pip install " + wheel +
                               ") or put the CUDA toolkit's libnccl.so.2 on LD_LIBRARY_PATH";
    // In the order of NcclApi's members.
    const std::vector<std::string> names{"ncclGetUniqueId", "ncclCommInitRank", "ncclSend",      "ncclRecv",
                                         "ncclGroupStart",  "ncclGroupEnd",     "ncclCommAbort", "ncclGetErrorString"};
    const SharedLibrary library = open_shared_library(candidates, names, "transport 'nccl': the NCCL library", remedy);
    size_t next = 0;
    const auto take = [&]<typename Function>(Function& slot) {
        slot = reinterpret_cast<Function>(library.symbols[next++]);
    };
    NcclApi api{};
    take(api.get_unique_id);
    take(api.comm_init_rank);
    take(api.send);
    take(api.recv);
    take(api.group_start);
    take(api.group_end);
    take(api.comm_abort);
    take(api.error_string);
    nccl_api = api;
}

std::unique_ptr<Transport> make_nccl_transport(const MpiComm& comm, int32_t device) {
    load_nccl();
    const NcclApi& api = *nccl_api;
    auto transport = std::make_unique<NcclTransport>(api, device);
    std::vector<uint8_t> id(sizeof(ncclUniqueId));
    // Whatever can fail on one rank alone is agreed on before the join, which waits for all.
    run_agreed(comm, [&] {
        transport->prepare();
        if (comm.rank() == 0) {
            ncclUniqueId unique;
            const ncclResult_t result = api.get_unique_id(&unique);
            if (result != ncclSuccess) {
                throw std::runtime_error(std::string("ncclGetUniqueId failed: ") + api.error_string(result));
            }
            std::memcpy(id.data(), &unique, sizeof unique);
        }
    });
    comm.broadcast_bytes(id, 0);
    run_agreed(comm, [&] {
        ncclUniqueId unique;
        std::memcpy(&unique, id.data(), sizeof unique);
        py::gil_scoped_release unlocked;
        transport->join(comm.size(), unique, comm.rank());
    });
    return transport;
}

}  // namespace velqa::distributed
