// Internal access to a Matrix for the component's own operations and
// private routines: the object's fields, the unchecked instance-to-instance
// routines, error raising and event raising. Not part of the public API.
#pragma once

#include <cstdint>
#include <string>

#include "host/runtime/FloatingPoint.h"
#include "kestrim/Matrix.h"

namespace kestrim::detail {

// The source text every caller hands to RaiseMatrixError.
inline constexpr const char* kSource = "KestrimMatrixLib.Matrix";

// Raises the component error `ErrorCode` (1..20) with `message` and help
// context `HelpContextId`. `source` is accepted and not used.
[[noreturn]] void RaiseMatrixError(int32_t ErrorCode, const std::string& source,
                                   const std::string& message, int32_t HelpContextId);

// The help file every component error carries: the library's folder, "/"
// unless the folder already ends in "/", then "KTMatrixLib.CHM".
std::string HelpFilePath();
std::string HelpFilePathFor(const std::string& folder);

// Called from the catch (...) handler that ends every public member: a
// component or runtime error (kestrim::Error) and an event handler's own
// exception pass unchanged; any other exception (std::bad_alloc,
// std::length_error, ...) becomes the runtime's out-of-memory error.
[[noreturn]] void RethrowAsDocumented();
// Records the exception in flight as an event handler's own, so that
// RethrowAsDocumented passes it on unchanged.
void MarkHandlerException() noexcept;

// Percent of the elementwise operations after finishing zero-based row i
// of `rows`: (i + 1) * 100 / rows in Double. (The product is formed in 64
// bits, so it cannot wrap for tall matrices.)
double ProgressPercent(int32_t i, int32_t rows) noexcept;

struct MatrixAccess {
    static DoubleArray& Elements(Matrix& m) noexcept { return m.Elements; }
    static const DoubleArray& Elements(const Matrix& m) noexcept { return m.Elements; }
    static int32_t LastRow(const Matrix& m) noexcept { return m.LastRow; }
    static int32_t LastCol(const Matrix& m) noexcept { return m.LastCol; }
    static bool RowsSet(const Matrix& m) noexcept { return m.RowsSet; }
    static bool ColsSet(const Matrix& m) noexcept { return m.ColsSet; }
    static bool EventsEnabled(const Matrix& m) noexcept { return m.EventsEnabled; }

    // Raises the runtime's subscript error unless `m` has element storage.
    static void RequireStorage(const Matrix& m) { m.RequireStorage(); }
    // True when `m` has storage and is at least rows x cols.
    static bool Covers(const Matrix& m, int64_t rows, int64_t cols) noexcept {
        return m.Elements.HasStorage() && m.LastRow + 1 >= rows && m.LastCol + 1 >= cols;
    }

    // Unchecked instance-to-instance access: the caller guarantees storage
    // and indices.
    static void SetElement(Matrix& target, int32_t RowIndex, int32_t ColIndex, double value) noexcept {
        target.Elements.At(RowIndex, ColIndex) = value;
    }
    static double GetElement(const Matrix& target, int32_t RowIndex, int32_t ColIndex) noexcept {
        return target.Elements.At(RowIndex, ColIndex);
    }
    // `target` adopts `array` (a zero-based two-dimensional array) as its
    // Elements and takes its dimensions from the upper bounds.
    static void SetData(Matrix& target, DoubleArray array);
    // Replaces the Elements of `m` with `array` of the same dimensions
    // (in-place operations); dimensions and flags do not change.
    static void ReplaceElements(Matrix& m, DoubleArray array) noexcept {
        m.Elements = std::move(array);
    }

    // Event raising. Both test for pending arithmetic faults first, then
    // call every connected handler in the caller's floating-point
    // environment. The caller decides whether events are on.
    // RaiseOnProgress converts Percent to Single (tested for a fault) and
    // returns Cancel as the handlers left it.
    static bool RaiseOnProgress(Matrix& m, const char* Operation, double Percent, bool& Cancel) {
        return m.RaiseOnProgress(Operation, Percent, Cancel);
    }
    static void RaiseDone(Matrix& m, const char* Operation) { m.RaiseDone(Operation); }
};

// RAII for the start of every public operation: keeps the receiver alive
// (when it is owned by a shared_ptr) even if a handler releases the
// caller's last reference, and runs the operation in a clean default
// floating-point environment.
class OperationScope {
public:
    explicit OperationScope(const Matrix& receiver)
        : keepAlive_(receiver.weak_from_this().lock()) {}

private:
    std::shared_ptr<const Matrix> keepAlive_;
    fp::FpScope fp_;
};

// Raises the runtime's missing-object error when `m` is an empty reference.
inline void RequireObject(const MatrixPtr& m) {
    if (!m) RaiseRuntimeError(RuntimeError::MissingObject);
}

}  // namespace kestrim::detail
