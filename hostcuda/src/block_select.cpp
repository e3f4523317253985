// Test-only facilities for huge index paths: chosen blocks and sparse reservations.
#include <cuda_runtime.h>
#include <sys/mman.h>

#include <utility>

#include "hostcuda_block_select.h"

namespace hostcuda {

namespace {
thread_local BlockSelection* tls_selection = nullptr;
}  // namespace

BlockSelection::BlockSelection(std::vector<unsigned long long> blocks)
    : blocks_(std::move(blocks)), previous_(tls_selection) {
    tls_selection = this;
}

BlockSelection::~BlockSelection() { tls_selection = previous_; }

bool BlockSelection::active() { return tls_selection != nullptr; }

void BlockSelection::run_selected(unsigned long long grid_blocks,
                                  const std::function<void(unsigned long long)>& run_block) {
    BlockSelection* selection = tls_selection;
    for (const unsigned long long b : selection->blocks_) {
        if (b < grid_blocks) {
            run_block(b);
            ++selection->blocks_run_;
        }
    }
}

SparseReservation::SparseReservation(size_t bytes) {
    void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        return;
    }
    if (cudaHostRegister(base, bytes, cudaHostRegisterDefault) != cudaSuccess) {
        munmap(base, bytes);
        return;
    }
    base_ = base;
    bytes_ = bytes;
}

SparseReservation::~SparseReservation() {
    if (base_ != nullptr) {
        cudaHostUnregister(base_);
        munmap(base_, bytes_);
    }
}

}  // namespace hostcuda
