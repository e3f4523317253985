// Test-only facilities of the host stand-in for the index paths of huge states: run only
// chosen blocks of a launch, and reserve a state's address space without its memory.
// Read by g++ only, in the host build.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace hostcuda {

// While an instance lives, every launch made by this thread runs only the listed blocks
// (linear block numbers, x fastest), one after another on this thread; the configuration is
// checked as for any launch. Blocks beyond a launch's grid are skipped, and blocks_run()
// counts those that ran, so a test can tell that its chosen blocks were reached.
class BlockSelection {
public:
    explicit BlockSelection(std::vector<unsigned long long> blocks);
    ~BlockSelection();
    BlockSelection(const BlockSelection&) = delete;
    BlockSelection& operator=(const BlockSelection&) = delete;

    unsigned long long blocks_run() const { return blocks_run_; }

    // Whether the calling thread has a selection, and running its chosen blocks of a grid of
    // `grid_blocks` through run_block (the launch's hook).
    static bool active();
    static void run_selected(unsigned long long grid_blocks, const std::function<void(unsigned long long)>& run_block);

private:
    std::vector<unsigned long long> blocks_;
    unsigned long long blocks_run_ = 0;
    BlockSelection* previous_ = nullptr;
};

// `bytes` of address space that read as zero and take memory only for the pages written
// (MAP_NORESERVE), registered with cudaHostRegister so that launches accept pointers into
// it. valid() is false when the system refuses the reservation.
class SparseReservation {
public:
    explicit SparseReservation(size_t bytes);
    ~SparseReservation();
    SparseReservation(const SparseReservation&) = delete;
    SparseReservation& operator=(const SparseReservation&) = delete;

    bool valid() const { return base_ != nullptr; }
    void* data() const { return base_; }
    size_t size() const { return bytes_; }

private:
    void* base_ = nullptr;
    size_t bytes_ = 0;
};

}  // namespace hostcuda
