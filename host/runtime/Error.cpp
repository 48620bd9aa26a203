#include "kestrim/Error.h"

#include "host/runtime/ComponentInfo.h"

namespace kestrim {

Error::Error(int32_t number, std::string description, std::string helpFile, int32_t helpContext,
             std::string source)
    : std::runtime_error(description),
      number_(number),
      description_(std::move(description)),
      helpFile_(std::move(helpFile)),
      helpContext_(helpContext),
      source_(std::move(source)) {}

const char* RuntimeErrorText(RuntimeError which) {
    switch (which) {
        case RuntimeError::InvalidArgument: return "Invalid procedure call or argument";
        case RuntimeError::Overflow: return "Overflow";
        case RuntimeError::OutOfMemory: return "Out of memory";
        case RuntimeError::SubscriptOutOfRange: return "Subscript out of range";
        case RuntimeError::DivisionByZero: return "Division by zero";
        case RuntimeError::TypeMismatch: return "Type mismatch";
        case RuntimeError::MissingObject: return "Object variable not set";
    }
    return "Unknown runtime error";
}

void RaiseRuntimeError(RuntimeError which) { RaiseRuntimeError(which, RuntimeErrorText(which)); }

void RaiseRuntimeError(RuntimeError which, const std::string& description) {
    throw Error(static_cast<int32_t>(which), description, std::string(), 0, component::kProgId);
}

}  // namespace kestrim
