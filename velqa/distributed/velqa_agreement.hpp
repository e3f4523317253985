// Agreeing on the outcome of a step that can fail on some ranks only, so that one rank's
// error becomes an error on every rank instead of a partner waiting forever.
// Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <stdexcept>
#include <utility>

#include "distributed/velqa_mpi_comm.hpp"

namespace velqa::distributed {

// One collective: when this rank failed it rethrows its own exception; when only others
// failed it raises the lowest failing rank's message, with " (on rank r)" appended, as the
// same kind of exception. Returns normally only when every rank succeeded.
void agree(const MpiComm& comm, const StepStatus& status, const std::exception_ptr& failure);

// Runs `step` on this rank, then agree() on its outcome.
template <typename Step>
void run_agreed(const MpiComm& comm, Step&& step) {
    StepStatus status;
    std::exception_ptr failure;
    try {
        std::forward<Step>(step)();
    } catch (const std::invalid_argument& error) {
        status = {1, error.what()};
        failure = std::current_exception();
    } catch (const std::out_of_range& error) {
        status = {3, error.what()};
        failure = std::current_exception();
    } catch (pybind11::error_already_set& error) {
        status = {4, error.what()};
        failure = std::current_exception();
    } catch (const std::exception& error) {
        status = {2, error.what()};
        failure = std::current_exception();
    }
    agree(comm, status, failure);
}

}  // namespace velqa::distributed
