// Errors raised by the matrix component: its own numbered errors and the
// runtime's errors (arithmetic faults, subscripts, missing objects, ...).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrim {

// One error record, as an automation host would receive it.
class Error : public std::runtime_error {
public:
    Error(int32_t number, std::string description, std::string helpFile,
          int32_t helpContext, std::string source);

    int32_t Number() const noexcept { return number_; }
    const std::string& Description() const noexcept { return description_; }
    const std::string& HelpFile() const noexcept { return helpFile_; }
    int32_t HelpContext() const noexcept { return helpContext_; }
    const std::string& Source() const noexcept { return source_; }

private:
    int32_t number_;
    std::string description_;
    std::string helpFile_;
    int32_t helpContext_;
    std::string source_;
};

// Errors of the runtime layer. Numbers follow the automation runtime's
// convention: 0x800A0000 + the classic runtime error number.
enum class RuntimeError : int32_t {
    InvalidArgument = static_cast<int32_t>(0x800A0005),  // 5
    Overflow = static_cast<int32_t>(0x800A0006),         // 6
    OutOfMemory = static_cast<int32_t>(0x800A0007),      // 7
    SubscriptOutOfRange = static_cast<int32_t>(0x800A0009),  // 9
    DivisionByZero = static_cast<int32_t>(0x800A000B),   // 11
    TypeMismatch = static_cast<int32_t>(0x800A000D),     // 13
    MissingObject = static_cast<int32_t>(0x800A005B),    // 91
};

// An invalid floating-point operation (0/0, inf-inf, sqrt(-1), ...) is
// reported with overflow's number but its own description.
inline constexpr const char* kInvalidOperationText = "Invalid floating-point operation";

// Raises a runtime error with its standard description.
[[noreturn]] void RaiseRuntimeError(RuntimeError which);
// Raises a runtime error with a description of the caller's choosing.
[[noreturn]] void RaiseRuntimeError(RuntimeError which, const std::string& description);

// The standard description of a runtime error ("Overflow", ...).
const char* RuntimeErrorText(RuntimeError which);

// The base of the component's own error numbers: Number = base + code.
inline constexpr uint32_t kMatrixErrorBase = 0x80040514u;

}  // namespace kestrim
