// Opening a shared library at run time (dlopen) and resolving a list of symbols, so that an
// optional dependency such as NCCL is needed only by the call that uses it, not at import.
// Plain C++, compiled in both builds so that its failure paths are tested everywhere.
#pragma once

#include <string>
#include <vector>

namespace velqa::distributed {

struct SharedLibrary {
    std::string path;            // the candidate that opened
    std::vector<void*> symbols;  // in the order asked for
};

// Opens the first of `candidates` (file names for the loader's search, or paths) that dlopen
// accepts and resolves every name of `symbols` in it. The library stays loaded for the life of
// the process. Throws std::runtime_error:
//   "<what> could not be loaded (tried <candidate>: <loader error>, ...); <remedy>"
//   "<what> at <path> has no symbol <name>; <remedy>"
SharedLibrary open_shared_library(const std::vector<std::string>& candidates, const std::vector<std::string>& symbols,
                                  const std::string& what, const std::string& remedy);

}  // namespace velqa::distributed
