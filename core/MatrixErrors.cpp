// The component's numbered errors.
#include <string>

#include "core/MatrixAccess.h"
#include "host/runtime/ComponentInfo.h"
#include "host/runtime/Platform.h"

namespace kestrim::detail {

std::string HelpFilePathFor(const std::string& folder) {
    // Always a forward slash, also after a folder ending in a backslash.
    std::string path = folder;
    if (path.empty() || path.back() != '/') path += '/';
    return path + component::kHelpFileName;
}

std::string HelpFilePath() { return HelpFilePathFor(platform::LibraryFolder()); }

void RaiseMatrixError(int32_t ErrorCode, const std::string& /*source*/, const std::string& message,
                      int32_t HelpContextId) {
    const std::string description = std::string(component::kProgId) + " Error Number: " +
                                     std::to_string(ErrorCode + 1300) + "\r\r" + message;
    const auto number = static_cast<int32_t>(kMatrixErrorBase + static_cast<uint32_t>(ErrorCode));
    throw Error(number, description, HelpFilePath(), HelpContextId, component::kProgId);
}

}  // namespace kestrim::detail
