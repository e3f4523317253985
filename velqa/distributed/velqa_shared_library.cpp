// Run-time loading of optional libraries. Plain C++.
#include "distributed/velqa_shared_library.hpp"

#include <dlfcn.h>

#include <stdexcept>

namespace velqa::distributed {

SharedLibrary open_shared_library(const std::vector<std::string>& candidates, const std::vector<std::string>& symbols,
                                  const std::string& what, const std::string& remedy) {
    std::string tried;
    for (const std::string& candidate : candidates) {
        // Never closed: a library like NCCL keeps threads and handlers that outlive any one user.
        void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* error = dlerror();
            tried += (tried.empty() ? "" : ", ") + candidate + ": " + (error != nullptr ? error : "unknown error");
            continue;
        }
        SharedLibrary library{candidate, {}};
        for (const std::string& name : symbols) {
            dlerror();
            void* symbol = dlsym(handle, name.c_str());
            if (symbol == nullptr) {
                throw std::runtime_error(what + " at " + candidate + " has no symbol " + name + "; " + remedy);
            }
            library.symbols.push_back(symbol);
        }
        return library;
    }
    throw std::runtime_error(what + " could not be loaded (tried " + tried + "); " + remedy);
}

}  // namespace velqa::distributed
