#include "ErrorReport.h"

#include <cstdio>

#include "ExitCodes.h"

namespace kestrim::cli {

namespace {
// The component's numbered errors: codes 1 to 20 above the base.
constexpr uint32_t kFirstMatrixError = kMatrixErrorBase + 1;
constexpr uint32_t kLastMatrixError = kMatrixErrorBase + 20;
}  // namespace

int ExitCodeFor(const kestrim::Error& error) {
    const auto number = static_cast<uint32_t>(error.Number());
    return number >= kFirstMatrixError && number <= kLastMatrixError ? kExitLibrary : kExitRuntime;
}

std::string DescribeError(const kestrim::Error& error) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(error.Number()));
    // The description separates its heading from the message with line
    // breaks; a one-line report joins them with ": ".
    std::string text;
    bool inBreak = false;
    for (char c : error.Description()) {
        if (c == '\r' || c == '\n') {
            inBreak = true;
            continue;
        }
        if (inBreak && !text.empty()) text += ": ";
        inBreak = false;
        text += c;
    }
    return std::string("error ") + number + ": " + text;
}

}  // namespace kestrim::cli
