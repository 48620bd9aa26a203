#include "host/runtime/FloatingPoint.h"

#ifdef KESTRIM_FP_X86
#include <cpuid.h>
#endif

#include "kestrim/Error.h"

namespace kestrim::fp {

namespace {

// The environment of the code that called the outermost running operation
// on this thread; event handlers run in it.
thread_local const Environment* callerEnvironment = nullptr;

#ifdef KESTRIM_FP_X86

// All six exceptions masked, round to nearest, no flush-to-zero, no
// denormals-are-zero, no flag.
constexpr uint32_t kDefaultMxcsr = 0x1F80;
// All exceptions masked, round to nearest. Precision control: 32-bit
// targets do their double arithmetic on the x87 unit, which must round to
// double precision (53 bits) to give the same bits as SSE; 64-bit targets
// keep their system's usual setting (extended on Linux, double on Windows).
#if defined(__i386__) || defined(_WIN32)
constexpr uint16_t kDefaultX87Control = 0x027F;
#else
constexpr uint16_t kDefaultX87Control = 0x037F;
#endif
// The x87 status word's exception flags, stack fault and error summary.
constexpr uint16_t kX87FlagBits = 0x00FF;

// The 28-byte environment that fnstenv writes and fldenv reads.
struct X87Environment {
    uint16_t control, unused0, status, unused1, tag, unused2;
    uint32_t instructionPointer, codeSelector, operandPointer, operandSelector;
};

// The SSE unit is always present on x86-64; a 32-bit host may, in theory,
// run on a processor without it.
bool HasSse() noexcept {
#if defined(__x86_64__)
    return true;
#else
    static const bool present = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid(1, &a, &b, &c, &d) != 0 && (d & bit_SSE) != 0;
    }();
    return present;
#endif
}

uint32_t ReadMxcsr() noexcept {
    uint32_t value = 0;
    __asm__ __volatile__("stmxcsr %0" : "=m"(value) : : "memory");
    return value;
}

void WriteMxcsr(uint32_t value) noexcept { __asm__ __volatile__("ldmxcsr %0" : : "m"(value) : "memory"); }

// The no-wait forms: they never deliver a pending unmasked x87 exception.
uint16_t ReadX87Control() noexcept {
    uint16_t value = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(value) : : "memory");
    return value;
}

uint16_t ReadX87Status() noexcept {
    uint16_t value = 0;
    __asm__ __volatile__("fnstsw %0" : "=m"(value) : : "memory");
    return value;
}

// Clears the flags before the control word is loaded, so that a flag that
// was pending under an unmasked exception is never delivered.
void InstallX87(uint16_t control) noexcept {
    __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(control) : "memory");
}

#endif  // KESTRIM_FP_X86

}  // namespace

#ifdef KESTRIM_FP_X86

Environment CaptureEnvironment() noexcept {
    Environment e;
    e.x87Control = ReadX87Control();
    e.x87Status = ReadX87Status();
    e.mxcsr = HasSse() ? ReadMxcsr() : kDefaultMxcsr;
    return e;
}

void InstallEnvironment(const Environment& e) noexcept {
    if (HasSse()) WriteMxcsr(e.mxcsr);
    if ((e.x87Status & kX87FlagBits) == 0) {
        InstallX87(e.x87Control);
        return;
    }
    // Pending x87 flags can only be set through a whole environment: take
    // the current one (its tag word and stack position stay) and put the
    // caller's control word and flags into it.
    X87Environment x87{};
    __asm__ __volatile__("fnstenv %0" : "=m"(x87) : : "memory");
    x87.control = e.x87Control;
    x87.status = static_cast<uint16_t>((x87.status & ~kX87FlagBits) | (e.x87Status & kX87FlagBits));
    __asm__ __volatile__("fldenv %0" : : "m"(x87) : "memory");
}

void InstallDefaultEnvironment() noexcept {
    InstallX87(kDefaultX87Control);
    if (HasSse()) WriteMxcsr(kDefaultMxcsr);
}

#else

Environment CaptureEnvironment() noexcept {
    Environment e;
    std::fegetenv(&e.fenv);
    return e;
}

void InstallEnvironment(const Environment& e) noexcept { std::fesetenv(&e.fenv); }

void InstallDefaultEnvironment() noexcept { std::fesetenv(FE_DFL_ENV); }

#endif  // KESTRIM_FP_X86

FpScope::FpScope() noexcept : saved_(CaptureEnvironment()), outer_(callerEnvironment) {
    if (callerEnvironment == nullptr) callerEnvironment = &saved_;
    InstallDefaultEnvironment();
}

FpScope::~FpScope() {
    callerEnvironment = outer_;
    InstallEnvironment(saved_);
}

void RaiseFault(int flags) {
    ClearFlags();
    if (flags & FE_DIVBYZERO) RaiseRuntimeError(RuntimeError::DivisionByZero);
    if (flags & FE_INVALID) RaiseRuntimeError(RuntimeError::Overflow, kInvalidOperationText);
    RaiseRuntimeError(RuntimeError::Overflow);
}

void EnterCallerEnvironment() noexcept {
    if (callerEnvironment != nullptr) InstallEnvironment(*callerEnvironment);
}

void LeaveCallerEnvironment() noexcept { InstallDefaultEnvironment(); }

}  // namespace kestrim::fp
