// Ctrl-C handling. The first SIGINT only sets a flag: the running operation
// sees it at its next progress event and is cancelled through the event's
// Cancel argument, so the library stops cleanly. A second SIGINT ends the
// process at once (exit 130), removing any output file still being written.
#pragma once

#include <string>

namespace kestrim::cli {

void InstallInterruptHandler();
bool InterruptRequested() noexcept;

// Files that must not survive an abrupt exit (temporary outputs). At most
// kMaxPendingFiles are tracked; paths longer than the handler's buffer are
// refused (false), and the caller then does without that file.
inline constexpr int kMaxPendingFiles = 16;
bool AddPendingFile(const std::string& path);
void RemovePendingFile(const std::string& path);

}  // namespace kestrim::cli
