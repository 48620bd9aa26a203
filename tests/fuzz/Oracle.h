// What must hold after every call, whatever the input: only documented
// errors, storage that matches the dimensions, the caller's floating-point
// state given back, and elementwise results equal to a plain scalar
// recomputation with a fault test after every stored step.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <xmmintrin.h>

#include "kestrim/Matrix.h"

namespace kestrim::fuzz {

// The call being checked, named in failure messages.
inline int currentCall = -1;

// Stops the run with a message; libFuzzer records the input.
[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "oracle (call %d): %s\n", currentCall, what.c_str());
    std::abort();
}

inline void Require(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

inline bool IsComponentError(int32_t number) {
    const auto n = static_cast<uint32_t>(number);
    return n >= kMatrixErrorBase + 1 && n <= kMatrixErrorBase + 20;
}

// The errors that members may raise: the component's own 20 and the
// runtime errors listed in the README.
inline void RequireDocumented(const Error& e) {
    const int32_t n = e.Number();
    if (IsComponentError(n)) {
        const std::string prefix =
            "KestrimMatrixLib.Matrix Error Number: " + std::to_string(1300 + (static_cast<uint32_t>(n) - kMatrixErrorBase)) +
            "\r\r";
        Require(e.Description().rfind(prefix, 0) == 0 && e.Description().size() > prefix.size(),
                "component error with a malformed description: " + e.Description());
        return;
    }
    switch (static_cast<RuntimeError>(n)) {
        case RuntimeError::InvalidArgument:
        case RuntimeError::Overflow:
        case RuntimeError::OutOfMemory:
        case RuntimeError::SubscriptOutOfRange:
        case RuntimeError::DivisionByZero:
        case RuntimeError::TypeMismatch:
        case RuntimeError::MissingObject:
            Require(!e.Description().empty(), "runtime error without a description");
            return;
    }
    Fail("undocumented error " + std::to_string(n) + ": " + e.Description());
}

// ---- Floating-point state -------------------------------------------------

// The parts of the floating-point state a caller can see: the x87 control
// word and sticky flags, and the SSE control and status register.
struct FpState {
    unsigned control = 0;
    unsigned x87Flags = 0;
    unsigned mxcsr = 0;
    bool operator==(const FpState&) const = default;
};

inline FpState ReadFpState() {
    std::fenv_t env;
    std::fegetenv(&env);
    return {env.__control_word, env.__status_word & static_cast<unsigned>(FE_ALL_EXCEPT), env.__mxcsr};
}

inline std::string Describe(const FpState& s) {
    char text[96];
    std::snprintf(text, sizeof text, "x87 control %#x flags %#x, mxcsr %#x", s.control, s.x87Flags, s.mxcsr);
    return text;
}

// A caller's odd environment: a rounding mode, sticky flags already set,
// and flush-to-zero / denormals-are-zero. Exceptions stay masked.
struct CallerEnvironment {
    int rounding = FE_TONEAREST;
    int flags = 0;
    bool flushToZero = false;

    void Enter() const {
        std::fesetenv(FE_DFL_ENV);
        std::fesetround(rounding);
        if (flags != 0) std::feraiseexcept(flags);
        if (flushToZero) _mm_setcsr(_mm_getcsr() | 0x8040u);
    }
};

// ---- Snapshots and storage invariants ---------------------------------------

struct Snapshot {
    int32_t rows = 0, cols = 0;
    bool fireEvents = false;
    bool hasStorage = false;
    std::vector<double> data;  // column-major, when there is storage

    bool SameAs(const Snapshot& o) const {
        return rows == o.rows && cols == o.cols && fireEvents == o.fireEvents && hasStorage == o.hasStorage &&
               data.size() == o.data.size() &&
               (data.empty() || std::memcmp(data.data(), o.data.data(), data.size() * sizeof(double)) == 0);
    }
};

// Reads an object through its public members and checks that its storage
// matches its dimensions: either no storage at all (AsArray gives an array
// without storage) or a zero-based rows x cols array.
inline Snapshot TakeSnapshot(const Matrix& m) {
    Snapshot s;
    s.rows = m.Rows();
    s.cols = m.Cols();
    s.fireEvents = m.FireEvents();
    Require(s.rows >= 1 && s.cols >= 1, "dimensions below 1: " + std::to_string(s.rows) + " x " + std::to_string(s.cols));
    const DoubleArray a = m.AsArray();
    if (!a.HasStorage()) return s;
    Require(a.Dims() == 2 && a.LBound(1) == 0 && a.LBound(2) == 0 && a.UBound(1) == s.rows - 1 &&
                a.UBound(2) == s.cols - 1 &&
                a.Count() == static_cast<std::size_t>(s.rows) * static_cast<std::size_t>(s.cols),
            "storage does not match the dimensions " + std::to_string(s.rows) + " x " + std::to_string(s.cols));
    s.hasStorage = true;
    s.data.assign(a.Data(), a.Data() + a.Count());
    return s;
}

// ---- Plain recomputation of the elementwise operations -----------------------

enum class Elementwise { Plus, Minus, PlusEquals, MinusEquals, TimesScalar, Transpose, Times };

// The outcome a per-step fault test gives.
struct Expected {
    int fault = 0;  // flags of the first faulting step, 0 when none
    int32_t rows = 0, cols = 0;
    std::vector<double> result;    // the result (new object or the receiver), when no fault
    std::vector<double> receiver;  // the receiver's elements after the call
};

constexpr int kFaultFlags = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// One stored step: its value and the fault flags it raised.
template <class F>
double Step(F f, int& fault) {
    std::feclearexcept(FE_ALL_EXCEPT);
    const double v = f();
    fault = std::fetestexcept(kFaultFlags);
    return v;
}

// The error a fault's flags must have produced: division by zero, then
// invalid, then overflow, when a step raised several.
inline bool MatchesFault(const Error& e, int fault) {
    if (fault & FE_DIVBYZERO) return e.Number() == static_cast<int32_t>(RuntimeError::DivisionByZero);
    if (fault & FE_INVALID)
        return e.Number() == static_cast<int32_t>(RuntimeError::Overflow) && e.Description() == kInvalidOperationText;
    return e.Number() == static_cast<int32_t>(RuntimeError::Overflow) && e.Description() == "Overflow";
}

// The scalar transcription of the operation on the snapshots; nothing when
// the operation could not have run (no storage, sizes that differ).
inline std::optional<Expected> Recompute(Elementwise op, const Snapshot& a, const Snapshot* b, double number) {
    if (!a.hasStorage) return std::nullopt;
    const int32_t m = a.rows, n = a.cols;
    auto A = [&](int32_t i, int32_t j) { return a.data[static_cast<std::size_t>(j) * m + i]; };
    Expected x;
    x.receiver = a.data;
    switch (op) {
        case Elementwise::Transpose: {
            x.rows = n;
            x.cols = m;
            x.result.resize(a.data.size());
            for (int32_t i = 0; i < m; ++i)
                for (int32_t j = 0; j < n; ++j) x.result[static_cast<std::size_t>(i) * n + j] = A(i, j);
            return x;
        }
        case Elementwise::TimesScalar: {
            x.rows = m;
            x.cols = n;
            x.result.resize(a.data.size());
            for (int32_t i = 0; i < m && !x.fault; ++i)
                for (int32_t j = 0; j < n && !x.fault; ++j)
                    x.result[static_cast<std::size_t>(j) * m + i] = Step([&] { return A(i, j) * number; }, x.fault);
            return x;
        }
        case Elementwise::Times: {
            if (!b || !b->hasStorage || b->rows != n) return std::nullopt;
            const int32_t q = b->cols;
            x.rows = m;
            x.cols = q;
            x.result.assign(static_cast<std::size_t>(m) * q, 0.0);
            for (int32_t i = 0; i < m && !x.fault; ++i)
                for (int32_t j = 0; j < q && !x.fault; ++j) {
                    double s = 0;
                    for (int32_t k = 0; k < n && !x.fault; ++k) {
                        const double bkj = b->data[static_cast<std::size_t>(j) * n + k];
                        s = Step([&] { return s + A(i, k) * bkj; }, x.fault);
                    }
                    x.result[static_cast<std::size_t>(j) * m + i] = s;
                }
            return x;
        }
        default: break;
    }
    // Sums and differences: receiver op argument, elementwise, in row order.
    if (!b || !b->hasStorage || b->rows != m || b->cols != n) return std::nullopt;
    const bool minus = op == Elementwise::Minus || op == Elementwise::MinusEquals;
    x.rows = m;
    x.cols = n;
    x.result = b->data;
    // MinusEquals with events off writes each difference into the receiver
    // as it goes, so a fault leaves the elements written so far.
    const bool inPlace = op == Elementwise::MinusEquals && !a.fireEvents;
    for (int32_t i = 0; i < m && !x.fault; ++i)
        for (int32_t j = 0; j < n && !x.fault; ++j) {
            const std::size_t at = static_cast<std::size_t>(j) * m + i;
            const double bij = b->data[at];
            const double v = Step([&] { return minus ? A(i, j) - bij : A(i, j) + bij; }, x.fault);
            x.result[at] = v;
            if (inPlace) x.receiver[at] = v;
        }
    if (!x.fault && (op == Elementwise::PlusEquals || op == Elementwise::MinusEquals)) x.receiver = x.result;
    return x;
}

// Equal bit for bit; any two NaNs count as equal, since which operand's
// payload an addition keeps is the processor's choice, not the component's.
inline bool SameValues(const std::vector<double>& got, const std::vector<double>& want) {
    if (got.size() != want.size()) return false;
    for (std::size_t k = 0; k < got.size(); ++k) {
        if (std::isnan(got[k]) && std::isnan(want[k])) continue;
        if (std::memcmp(&got[k], &want[k], sizeof(double)) != 0) return false;
    }
    return true;
}

}  // namespace kestrim::fuzz
