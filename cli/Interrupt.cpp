#include "Interrupt.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace kestrim::cli {

namespace {

constexpr std::size_t kPathCapacity = 4096;

// Only async-signal-safe state: plain buffers and lock-free atomics. A slot
// is used while its flag is set; the path is written before the flag.
char pendingPaths[kMaxPendingFiles][kPathCapacity];
std::atomic<bool> pendingUsed[kMaxPendingFiles];
std::atomic<int> interrupts{0};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
    if (interrupts.fetch_add(1) == 0) return;
    for (int i = 0; i < kMaxPendingFiles; ++i)
        if (pendingUsed[i].load()) unlink(pendingPaths[i]);
    static const char message[] = "\ncancelled\n";
    ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(130);
}

}  // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

bool InterruptRequested() noexcept { return interrupts.load() > 0; }

bool AddPendingFile(const std::string& path) {
    if (path.size() >= kPathCapacity) return false;
    for (int i = 0; i < kMaxPendingFiles; ++i) {
        if (pendingUsed[i].load()) continue;
        std::memcpy(pendingPaths[i], path.c_str(), path.size() + 1);
        pendingUsed[i].store(true);
        return true;
    }
    return false;
}

void RemovePendingFile(const std::string& path) {
    for (int i = 0; i < kMaxPendingFiles; ++i)
        if (pendingUsed[i].load() && path == pendingPaths[i]) pendingUsed[i].store(false);
}

}  // namespace kestrim::cli
