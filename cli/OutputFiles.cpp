#include "OutputFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "InputError.h"
#include "Interrupt.h"

namespace kestrim::cli {

namespace {
std::string SystemMessage(const char* what) { return std::string(what) + ": " + std::strerror(errno); }
}  // namespace

OutputFiles::~OutputFiles() { Discard(); }

void OutputFiles::Stage(const std::string& path, const std::function<void(std::ostream&)>& write) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) throw InputError(path, SystemMessage("cannot create"));
    // mkstemp makes the file private (0600); give it the mode a plain
    // creation would have.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    if (!AddPendingFile(temp)) {
        std::remove(temp.c_str());
        throw InputError(path, "output path too long");
    }
    staged_.push_back({path, temp});
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out) write(out);
    out.flush();
    if (!out) throw InputError(path, SystemMessage("cannot write"));
    out.close();
    if (!out) throw InputError(path, SystemMessage("cannot write"));
}

void OutputFiles::Commit() {
    for (Staged& s : staged_) {
        if (std::rename(s.tempPath.c_str(), s.finalPath.c_str()) != 0)
            throw InputError(s.finalPath, SystemMessage("cannot create"));
        RemovePendingFile(s.tempPath);
        s.tempPath.clear();
    }
    staged_.clear();
}

void OutputFiles::Discard() noexcept {
    for (Staged& s : staged_) {
        if (s.tempPath.empty()) continue;
        std::remove(s.tempPath.c_str());
        RemovePendingFile(s.tempPath);
    }
    staged_.clear();
}

}  // namespace kestrim::cli
