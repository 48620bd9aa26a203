#include "InputError.h"

namespace kestrim::cli {

namespace {
std::string Located(const std::string& file, long line, long column, const std::string& message) {
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}
}  // namespace

InputError::InputError(const std::string& file, long line, long column, const std::string& message)
    : std::runtime_error(Located(file, line, column, message)) {}

InputError::InputError(const std::string& file, const std::string& message)
    : std::runtime_error(file + ": " + message) {}

}  // namespace kestrim::cli
