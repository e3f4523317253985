// Agreement on a step's outcome. Host C++ with pybind11.
#include "distributed/velqa_agreement.hpp"

#include <string>
#include <vector>

namespace velqa::distributed {

void agree(const MpiComm& comm, const StepStatus& status, const std::exception_ptr& failure) {
    const std::vector<StepStatus> all = comm.allgather_status(status);
    if (failure) {
        std::rethrow_exception(failure);
    }
    for (size_t r = 0; r < all.size(); ++r) {
        if (all[r].kind == 0) {
            continue;
        }
        const std::string message = all[r].message + " (on rank " + std::to_string(r) + ")";
        switch (all[r].kind) {
            case 1:
                throw std::invalid_argument(message);
            case 3:
                throw std::out_of_range(message);
            default:
                throw std::runtime_error(message);
        }
    }
}

}  // namespace velqa::distributed
