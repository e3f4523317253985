// Guard pages after device allocations of the host stand-in, and the SIGSEGV handler that
// names a fault on one before the previous handler sees it. Read by g++ only, in the host build.
#include "guard_pages.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace hostcuda::detail {

namespace {

// The guard pages of live allocations, in a table a signal handler may read: a fault on
// one of them is named before the previous handler (the default, Python's faulthandler or
// a sanitizer) takes over. Allocations beyond the table still fault, unnamed.
constexpr size_t kGuardSlots = 4096;
std::atomic<uintptr_t> guard_pages[kGuardSlots];
struct sigaction previous_segv_action;
uintptr_t segv_page_bytes = 4096;

void write_text(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    const ssize_t written = write(STDERR_FILENO, text, length);
    (void)written;
}

void on_segv(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const uintptr_t page = address & ~(segv_page_bytes - 1);
    for (const std::atomic<uintptr_t>& slot : guard_pages) {
        if (page != 0 && slot.load(std::memory_order_relaxed) == page) {
            char hex[2 + 16 + 1] = "0x";
            for (int i = 0; i < 16; ++i) {
                hex[2 + i] = "0123456789abcdef"[(address >> (60 - 4 * i)) & 0xF];
            }
            hex[18] = '\0';
            write_text("host stand-in: access past the end of a device allocation (guard page at ");
            write_text(hex);
            write_text(")\n");
            break;
        }
    }
    // Let the previous handler (or the default action) see the same fault.
    sigaction(SIGSEGV, &previous_segv_action, nullptr);
    if ((previous_segv_action.sa_flags & SA_SIGINFO) != 0 && previous_segv_action.sa_sigaction != nullptr) {
        previous_segv_action.sa_sigaction(signal, info, context);
    } else if (previous_segv_action.sa_handler != SIG_DFL && previous_segv_action.sa_handler != SIG_IGN) {
        previous_segv_action.sa_handler(signal);
    }
}

void watch_guard_page(uintptr_t page) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        segv_page_bytes = page_size();
        struct sigaction action {};
        action.sa_sigaction = on_segv;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previous_segv_action);
    });
    for (std::atomic<uintptr_t>& slot : guard_pages) {
        uintptr_t empty = 0;
        if (slot.compare_exchange_strong(empty, page, std::memory_order_relaxed)) {
            return;
        }
    }
}

}  // namespace

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGE_SIZE)); }

void forget_guard_page(uintptr_t page) {
    for (std::atomic<uintptr_t>& slot : guard_pages) {
        uintptr_t expected = page;
        if (slot.compare_exchange_strong(expected, 0, std::memory_order_relaxed)) {
            return;
        }
    }
}

// Maps the data pages and a guard page after them; returns the 256-aligned start of the
// data, which ends `rounded` bytes later at the guard.
void* map_guarded(size_t rounded, void** mapping, size_t* mapping_bytes) {
    const size_t page = page_size();
    const size_t data_pages = (rounded + page - 1) / page * page;
    *mapping_bytes = data_pages + page;
    void* base = mmap(nullptr, *mapping_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return nullptr;
    }
    if (mprotect(static_cast<char*>(base) + data_pages, page, PROT_NONE) != 0) {
        munmap(base, *mapping_bytes);
        return nullptr;
    }
    *mapping = base;
    watch_guard_page(reinterpret_cast<uintptr_t>(base) + data_pages);
    return static_cast<char*>(base) + (data_pages - rounded);
}

}  // namespace hostcuda::detail
