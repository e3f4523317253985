// Guard pages after the host stand-in's device allocations. Read by g++ only, in the host build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hostcuda::detail {

size_t page_size();

// Maps the data pages and an inaccessible guard page after them and watches the guard (a
// fault on it is named on stderr); returns the 256-aligned start of the data, which ends
// `rounded` bytes later at the guard, or nullptr when the mapping fails.
void* map_guarded(size_t rounded, void** mapping, size_t* mapping_bytes);

// Stops naming faults on `page` (the allocation is being unmapped).
void forget_guard_page(uintptr_t page);

}  // namespace hostcuda::detail
