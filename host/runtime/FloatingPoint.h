// Arithmetic fault testing with the processor's sticky exception flags.
//
// Every operation runs inside an FpScope: it saves the caller's
// floating-point environment, runs the operation in the default one and
// restores the caller's on exit, whatever way the operation ends. The
// default environment is: no pending flag, every exception masked, round
// to nearest, no flush-to-zero and no denormals-are-zero; on x86 the x87
// unit is set the same way (with double precision on 32-bit targets, which
// compute doubles there). So a host that leaves flags set, unmasks
// exceptions, or changes rounding, flushing or precision gets the same bits
// and errors as any other, and never a hardware exception from inside.
//
// Operations do not test each step. They test the flags at coarse points:
// before every event, before every write the caller can see, and before any
// decision whose outcome a NaN or an infinity could change. When a test
// finds a flag, the observable result must still be the one a per-step test
// would give: the operation replays the segment since the last clean point
// with a test after every stored result (TestStep) to find the first
// faulting step, and raises that step's error.
#pragma once

#include <cfenv>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#define KESTRIM_FP_X86 1
#endif

namespace kestrim::fp {

// The flags that count as arithmetic faults. Underflow and inexact do not.
inline constexpr int kFaultFlags = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;

// A floating-point environment as the processor holds it: on x86 the SSE
// control/status register and the x87 control and status words, read and
// written directly (the C library's fenv functions do not cover both units
// on every target).
struct Environment {
#ifdef KESTRIM_FP_X86
    uint32_t mxcsr = 0;
    uint16_t x87Control = 0;
    uint16_t x87Status = 0;
#else
    std::fenv_t fenv;
#endif
};

// The current environment.
Environment CaptureEnvironment() noexcept;
// Installs `environment` exactly (controls and pending flags).
void InstallEnvironment(const Environment& environment) noexcept;
// Installs the default environment described above, flags cleared.
void InstallDefaultEnvironment() noexcept;

class FpScope {
public:
    FpScope() noexcept;
    ~FpScope();
    FpScope(const FpScope&) = delete;
    FpScope& operator=(const FpScope&) = delete;

private:
    Environment saved_;
    const Environment* outer_;
};

// True when a fault flag is raised.
inline bool HasFault() noexcept { return std::fetestexcept(kFaultFlags) != 0; }
// Clears all flags (faults, underflow and inexact).
inline void ClearFlags() noexcept { std::feclearexcept(FE_ALL_EXCEPT); }

// Raises the runtime error for the given flags: division by zero, then
// invalid operation, then overflow when several are present (a single step
// raises only one of them). Call only with at least one fault flag.
[[noreturn]] void RaiseFault(int flags);

// Raises the matching runtime error when a fault flag is set. This is the
// per-step test: call it after a single stored result, or at a coarse point
// where the segment's first fault is known to be the only kind raised.
inline void TestStep() {
    const int flags = std::fetestexcept(kFaultFlags);
    if (flags != 0) RaiseFault(flags);
}

// Runs `handler` (event code that belongs to the caller) in the caller's
// floating-point environment, then returns to the operation's clean
// default environment, so the handler's arithmetic never reaches the
// operation's flags. Flags must be clean on entry (test them first).
template <class F>
void RunInCallerEnvironment(F&& handler);

// Implementation detail of RunInCallerEnvironment.
void EnterCallerEnvironment() noexcept;
void LeaveCallerEnvironment() noexcept;

template <class F>
void RunInCallerEnvironment(F&& handler) {
    struct Restore {
        ~Restore() { LeaveCallerEnvironment(); }
    } restore;
    EnterCallerEnvironment();
    handler();
}

}  // namespace kestrim::fp
