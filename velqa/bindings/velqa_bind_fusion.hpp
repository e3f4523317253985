// Python surface of the fusion engine: the PreparedFusionChunk class, planning a streamed
// chunk and executing it. Host C++ with pybind11.
#pragma once

#include <pybind11/pybind11.h>

namespace velqa {

void bind_prepared_fusion_chunk(pybind11::module_& m);
void bind_prepare_fusion_chunk_gates(pybind11::module_& m);
void bind_execute_prepared_fusion_chunk(pybind11::module_& m);

}  // namespace velqa
