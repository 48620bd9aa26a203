// Every operation runs in the default floating-point environment whatever
// state the calling host left (pending flags, unmasked exceptions, directed
// rounding, flush-to-zero, denormals-are-zero, x87 precision), gives the
// same bits and errors as from a default host, and hands the host's state
// back exactly.
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/runtime/FloatingPoint.h"
#include "support/TestSupport.h"

namespace kestrim::test {
namespace {

namespace fp = kestrim::fp;

// What a call produced: the bits of every result element (and scalar), or
// the error it raised.
struct Outcome {
    std::vector<uint64_t> bits;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

void Add(Outcome& o, double x) {
    uint64_t b = 0;
    std::memcpy(&b, &x, sizeof b);
    o.bits.push_back(b);
}

void Add(Outcome& o, const MatrixPtr& m) {
    if (!m) return o.bits.push_back(~uint64_t{0});
    o.bits.push_back(static_cast<uint64_t>(m->Rows()) << 32 | static_cast<uint32_t>(m->Cols()));
    for (int32_t i = 0; i < m->Rows(); ++i)
        for (int32_t j = 0; j < m->Cols(); ++j) Add(o, m->Item(i, j));
}

// Subnormal elements and products: flush-to-zero or denormals-are-zero
// would change them.
constexpr double kTiny = 3e-310;

struct Operation {
    const char* name;
    // Prepares its arguments (in the default environment) and returns the
    // call to make under the host's state.
    std::function<std::function<void(Outcome&)>()> prepare;
};

MatrixPtr General() { return MakeMatrix({{4, 1.0 / 3, 2}, {1, 5, kTiny}, {2.5, 0.1, 7}}); }
MatrixPtr Symmetric() { return MakeMatrix({{4, 1, 0.3}, {1, 3, 1.0 / 7}, {0.3, 1.0 / 7, 2}}); }

std::vector<Operation> Operations() {
    using Call = std::function<void(Outcome&)>;
    return {
        {"Times", [] { auto a = General(), b = MakeMatrix({{kTiny, 0.1}, {1.0 / 3, kTiny}, {0.7, 3}});
                        return Call([=](Outcome& o) { Add(o, a->Times(b)); }); }},
        {"TimesScalar", [] { auto a = General(); return Call([=](Outcome& o) { Add(o, a->TimesScalar(0.1)); }); }},
        {"Plus overflow", [] { auto a = MakeMatrix({{DBL_MAX}}), b = MakeMatrix({{DBL_MAX}});
                                return Call([=](Outcome& o) { Add(o, a->Plus(b)); }); }},
        {"MinusEquals", [] { auto a = General(), b = Symmetric(); return Call([=](Outcome& o) { a->MinusEquals(b); Add(o, a); }); }},
        {"Determinant", [] { auto a = General(); return Call([=](Outcome& o) { Add(o, a->Determinant()); }); }},
        {"Inverse", [] { auto a = General(); return Call([=](Outcome& o) { Add(o, a->Inverse()); }); }},
        {"Inverse of a singular matrix", [] { auto a = MakeMatrix({{1, 2}, {2, 4}});
                                               return Call([=](Outcome& o) { Add(o, a->Inverse()); }); }},
        {"Solve", [] { auto a = General(), b = MakeMatrix({{1}, {0.1}, {kTiny}});
                        return Call([=](Outcome& o) { Add(o, a->Solve(b)); }); }},
        {"SolveGauss", [] { auto a = General(), b = MakeMatrix({{1}, {0.1}, {kTiny}});
                             return Call([=](Outcome& o) { Add(o, a->SolveGauss(b)); }); }},
        {"LU", [] { auto a = General(); return Call([=](Outcome& o) {
             MatrixPtr l = Matrix::New(), u = Matrix::New();
             Variant index;
             int32_t sign = 0;
             a->LU(&l, &u, &index, &sign);
             Add(o, l), Add(o, u), Add(o, sign);
             for (int32_t k = 0; k < 3; ++k) Add(o, index.At(k).ToLong());
         }); }},
        {"Cholesky", [] { auto a = Symmetric(); return Call([=](Outcome& o) {
             MatrixPtr l = Matrix::New();
             a->Cholesky(&l);
             Add(o, l);
         }); }},
        {"Cholesky failure", [] { auto a = MakeMatrix({{-4}}); return Call([=](Outcome& o) {
             MatrixPtr l = Matrix::New();
             a->Cholesky(&l);
             Add(o, l);
         }); }},
        {"QR", [] { auto a = General(); return Call([=](Outcome& o) {
             MatrixPtr q = Matrix::New(), r = Matrix::New();
             a->QR(&q, &r);
             Add(o, q), Add(o, r);
         }); }},
        {"QR of an overflowing column", [] { auto a = MakeMatrix({{DBL_MAX}, {DBL_MAX}}); return Call([=](Outcome& o) {
             MatrixPtr q = Matrix::New();
             a->QR(&q);
             Add(o, q);
         }); }},
        {"SVD", [] { auto a = General(); return Call([=](Outcome& o) {
             MatrixPtr u = Matrix::New(), s = Matrix::New(), v = Matrix::New();
             a->SVD(&u, &s, &v);
             Add(o, u), Add(o, s), Add(o, v);
         }); }},
        {"Eigen symmetric", [] { auto a = Symmetric(); return Call([=](Outcome& o) {
             MatrixPtr re = Matrix::New(), im = Matrix::New(), rv = Matrix::New(), iv = Matrix::New();
             a->Eigen(&re, &im, &rv, &iv);
             Add(o, re), Add(o, im), Add(o, rv), Add(o, iv);
         }); }},
        {"Eigen general", [] { auto a = MakeMatrix({{0, -1, 0.2}, {1, 0, 1.0 / 3}, {kTiny, 0.5, 2}}); return Call([=](Outcome& o) {
             MatrixPtr re = Matrix::New(), im = Matrix::New(), rv = Matrix::New(), iv = Matrix::New();
             a->Eigen(&re, &im, &rv, &iv);
             Add(o, re), Add(o, im), Add(o, rv), Add(o, iv);
         }); }},
        {"NormalizeMe of a subnormal matrix", [] { auto a = MakeMatrix({{kTiny, 0}}); return Call([=](Outcome& o) {
             double v = 0;
             a->NormalizeMe(&v);
             Add(o, v);
         }); }},
        {"Normalize", [] { auto a = General(); return Call([=](Outcome& o) {
             double v = 0;
             Add(o, a->Normalize(&v));
             Add(o, v);
         }); }},
        {"IsEqualTo", [] { auto a = MakeMatrix({{kTiny}}), b = MakeMatrix({{0}}); return Call([=](Outcome& o) {
             Add(o, a->IsEqualTo(b, 1e-320) ? 1.0 : 0.0);
             Add(o, a->IsSymmetric() ? 1.0 : 0.0);
         }); }},
        {"RearrangeRows with halves", [] { auto a = General(); return Call([=](Outcome& o) {
             Variant index = Variant::MakeVariantArray(3);
             index.SetAt(0, Variant(1.5)), index.SetAt(1, Variant(0.5)), index.SetAt(2, Variant(int32_t{1}));
             a->RearrangeRows(index);
             Add(o, a);
         }); }},
        // Subnormals: formatting them must not leave the denormal-operand flag behind.
        {"GetString", [] { auto a = MakeMatrix({{2.675, -0.0005, 5e-324}, {1.0 / 3, 1e20 / 3, 2.2250738585072014e-308}});
             return Call([=](Outcome& o) { for (char c : a->GetString(2) + a->GetString(20)) Add(o, static_cast<double>(c)); }); }},
    };
}

struct HostState {
    const char* name;
    void (*apply)();
};

#ifdef KESTRIM_FP_X86
void SetMxcsrBits(uint32_t bits) {
    fp::Environment e = fp::CaptureEnvironment();
    e.mxcsr |= bits;
    fp::InstallEnvironment(e);
}
void SetX87Control(uint16_t control) {
    fp::Environment e = fp::CaptureEnvironment();
    e.x87Control = control;
    fp::InstallEnvironment(e);
}
// An x87 division by zero, masked: leaves the x87 flag pending.
void RaiseX87DivisionByZero() { __asm__ __volatile__("fldz\n\tfld1\n\tfdivp\n\tfstp %%st(0)" : : : "memory"); }
#endif

void UnmaskAll() {
#if defined(__GLIBC__)
    feenableexcept(FE_ALL_EXCEPT);
#elif defined(KESTRIM_FP_X86)
    fp::Environment e = fp::CaptureEnvironment();
    e.mxcsr &= ~0x1F80u;
    e.x87Control &= ~0x003Fu;
    fp::InstallEnvironment(e);
#endif
}

const HostState kStates[] = {
    {"overflow flag", [] { std::feraiseexcept(FE_OVERFLOW); }},
    {"invalid flag", [] { std::feraiseexcept(FE_INVALID); }},
    {"division-by-zero flag", [] { std::feraiseexcept(FE_DIVBYZERO); }},
    {"underflow flag", [] { std::feraiseexcept(FE_UNDERFLOW); }},
    {"inexact flag", [] { std::feraiseexcept(FE_INEXACT); }},
    {"upward rounding", [] { std::fesetround(FE_UPWARD); }},
    {"downward rounding", [] { std::fesetround(FE_DOWNWARD); }},
    {"rounding toward zero", [] { std::fesetround(FE_TOWARDZERO); }},
    {"unmasked exceptions", UnmaskAll},
#ifdef KESTRIM_FP_X86
    {"flush-to-zero and denormals-are-zero", [] { SetMxcsrBits(0x8040); }},
    {"x87 single precision rounding upward", [] { SetX87Control(0x087F); }},
    {"x87 pending division by zero", RaiseX87DivisionByZero},
#endif
    {"all at once", [] {
         std::feraiseexcept(FE_ALL_EXCEPT);
         std::fesetround(FE_DOWNWARD);
#ifdef KESTRIM_FP_X86
         SetMxcsrBits(0x8040);
         SetX87Control(0x007F);
#endif
         UnmaskAll();
     }},
};

Outcome Of(const std::function<void(Outcome&)>& call) {
    Outcome o;
    try {
        call(o);
    } catch (const Error& e) {
        o.error = std::to_string(e.Number()) + " " + e.Description();
    }
    return o;
}

bool SameEnvironment(const fp::Environment& a, const fp::Environment& b) {
#ifdef KESTRIM_FP_X86
    return a.mxcsr == b.mxcsr && a.x87Control == b.x87Control && (a.x87Status & 0xFF) == (b.x87Status & 0xFF);
#else
    return std::memcmp(&a.fenv, &b.fenv, sizeof a.fenv) == 0;
#endif
}

TEST(HostEnvironment, EveryStateGivesDefaultResultsAndGetsItsStateBack) {
    fp::InstallDefaultEnvironment();
    for (const Operation& op : Operations()) {
        const Outcome expected = Of(op.prepare());
        EXPECT_TRUE(!expected.bits.empty() || !expected.error.empty()) << op.name;
        for (const HostState& state : kStates) {
            const auto call = op.prepare();
            state.apply();
            const fp::Environment before = fp::CaptureEnvironment();
            const Outcome got = Of(call);
            const fp::Environment after = fp::CaptureEnvironment();
            fp::InstallDefaultEnvironment();
            EXPECT_TRUE(SameEnvironment(before, after)) << op.name << " under " << state.name;
            EXPECT_EQ(got, expected) << op.name << " under " << state.name << ": " << got.error;
        }
    }
}

TEST(HostEnvironment, ExpectedOutcomesOfTheFaultCases) {
    fp::InstallDefaultEnvironment();
    for (const Operation& op : Operations()) {
        const std::string name = op.name;
        const Outcome o = Of(op.prepare());
        if (name == "Plus overflow" || name == "NormalizeMe of a subnormal matrix")
            EXPECT_EQ(o.error.substr(0, o.error.find(' ')), std::to_string(int32_t(RuntimeError::Overflow))) << name;
        else if (name == "QR of an overflowing column")
            EXPECT_EQ(o.error.substr(0, o.error.find(' ')), std::to_string(MatrixErrorNumber(15))) << name;
        else if (name == "Cholesky failure")
            EXPECT_EQ(o.error.substr(0, o.error.find(' ')), std::to_string(MatrixErrorNumber(14))) << name;
        else if (name == "Inverse of a singular matrix")
            EXPECT_EQ(o.error.substr(0, o.error.find(' ')), std::to_string(MatrixErrorNumber(6))) << name;
        else
            EXPECT_EQ(o.error, "") << name;
    }
}

// The default environment itself, and the exact round trip of a host's
// state through a scope, pending flags included.
TEST(HostEnvironment, ScopeInstallsDefaultsAndRestoresExactly) {
    fp::InstallDefaultEnvironment();
    const fp::Environment clean = fp::CaptureEnvironment();
#ifdef KESTRIM_FP_X86
    EXPECT_EQ(clean.mxcsr, 0x1F80u);
    EXPECT_EQ(clean.x87Control & 0x0F3F, 0x033F);  // masked, round to nearest, at least double precision
    EXPECT_EQ(clean.x87Status & 0xFF, 0);
#endif
    for (const HostState& state : kStates) {
        state.apply();
        const fp::Environment host = fp::CaptureEnvironment();
        fp::Environment inside{}, handler{};
        {
            fp::FpScope scope;
            inside = fp::CaptureEnvironment();
            fp::RunInCallerEnvironment([&] { handler = fp::CaptureEnvironment(); });
        }
        const fp::Environment after = fp::CaptureEnvironment();
        fp::InstallDefaultEnvironment();
        EXPECT_TRUE(SameEnvironment(inside, clean)) << state.name;
        EXPECT_TRUE(SameEnvironment(handler, host)) << state.name;
        EXPECT_TRUE(SameEnvironment(after, host)) << state.name;
    }
}

}  // namespace
}  // namespace kestrim::test
