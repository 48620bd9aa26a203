// The few facts that depend on the operating system.
#pragma once

#include <string>

namespace kestrim::platform {

// The folder that holds the component's library file (or executable, when
// the component is linked statically), without a trailing separator unless
// the folder is a root such as "/" or "C:\".
std::string LibraryFolder();

}  // namespace kestrim::platform
