// NCCL send/receive between the ranks' devices. Compiled only into the cuda build when nccl.h
// was found at configure time; the library itself is opened at run time, so the module still
// imports and serves the other transports where NCCL is not installed. Host C++.
#pragma once

#include <cstdint>
#include <memory>

#include "distributed/velqa_mpi_comm.hpp"
#include "distributed/velqa_transport.hpp"

namespace velqa::distributed {

// Opens NCCL once per process: libnccl.so.2 through the loader's search (LD_LIBRARY_PATH, the
// module's run path to the toolkit, the system), else from the lib folder of an installed
// nvidia-nccl-cu* wheel. Throws std::runtime_error naming what to install when neither loads.
// Needs the interpreter lock (it asks Python where the wheel is).
void load_nccl();

// Collective over `comm`: every rank opens a stream on `device`, rank 0 makes the NCCL id and
// broadcasts it, then all join one NCCL communicator. A failure before the join raises on every
// rank; the join itself is NCCL's collective and reports its own failures (one device per rank:
// NCCL refuses two ranks on one GPU).
std::unique_ptr<Transport> make_nccl_transport(const MpiComm& comm, int32_t device);

}  // namespace velqa::distributed
