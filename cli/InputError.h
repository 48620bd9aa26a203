// A problem with a file the tool reads or writes, located as precisely as
// possible: "file:line:column: message", or "file: message" when no line
// applies (the file cannot be opened, it ends early, ...).
#pragma once

#include <stdexcept>
#include <string>

namespace kestrim::cli {

class InputError : public std::runtime_error {
public:
    InputError(const std::string& file, long line, long column, const std::string& message);
    InputError(const std::string& file, const std::string& message);
};

}  // namespace kestrim::cli
