#include <dlfcn.h>

#include <string>

#include "host/runtime/Platform.h"

namespace kestrim::platform {

std::string LibraryFolder() {
    // The shared object (or executable) that contains this function.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || info.dli_fname == nullptr)
        return ".";
    std::string path = info.dli_fname;
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace kestrim::platform
