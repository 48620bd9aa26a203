// By-reference arguments in every shape a host passes them, with reference
// counts checked after success and failure; and every call made from a host
// floating-point state that differs from the default.
#include "CallbackSink.h"

#include <cstring>
#include <functional>

namespace client {
namespace {
constexpr DISPID kLU = 0x6003001F, kCholesky = 0x60030021, kQR = 0x60030026, kSVD = 0x6003002C,
                 kEigen = 0x6003002D, kNormalizeMe = 0x6003001C, kRearrangeRows = 0x60030022,
                 kRowVector = 0x6003002F, kTimesScalar = 0x60030014, kTimes = 0x60030013;

ULONG Count(IUnknown* p) {
    p->AddRef();
    return p->Release();
}
// A variant that owns a reference, as a script's temporary does.
VARIANT ByValue(IUnknown* p, VARTYPE vt = VT_DISPATCH) {
    VARIANT v = Var(vt);
    if (p) p->AddRef();
    V_UNKNOWN(&v) = p;
    return v;
}
VARIANT RefTo(VARIANT* variable) {
    VARIANT v = Var(VT_VARIANT | VT_BYREF);
    V_VARIANTREF(&v) = variable;
    return v;
}

Matrix Spd() { return FromRows({{4, 2, 1}, {2, 5, 3}, {1, 3, 6}}); }

// A decomposition, its number of Matrix outputs and a receiver on which it
// fails with the given status.
struct Decomposition {
    const char* name;
    DISPID id;
    int outputs;
    Rows failing;
    HRESULT failure;
};
HRESULT Code(int n) { return HRESULT(0x80040514u + unsigned(n)); }
const Decomposition kDecompositions[] = {
    {"Cholesky", kCholesky, 1, {{-4}}, Code(14)},
    {"Cholesky (wide)", kCholesky, 1, {{1, 2}}, Code(5)},
    {"LU", kLU, 2, {{1, 2}, {0, 0}}, Code(13)},
    {"QR (wide)", kQR, 2, {{1, 2}}, Code(18)},
    {"QR", kQR, 2, {{1e308, 1e308}, {1e308, 1e308}}, Code(15)},
    {"SVD", kSVD, 3, {{1e308, 1e308}, {1e308, 1e308}}, Code(16)},
    {"Eigen", kEigen, 4, {{-1, 0, 0, 2}, {0, -1, 1, 0}, {1, 0, 2, 0}, {2, -2, 0, 2}}, Code(17)},
};

// How the output arrives; `emptied` says whether a failing Cholesky
// empties the caller's reference in that shape.
enum class Shape { ByValue, Unknown, VariableRef, ReceiverByValue, ReceiverRef, Nothing, Empty, Null, Missing };
const std::pair<Shape, const char*> kShapes[] = {
    {Shape::ByValue, "by value"}, {Shape::Unknown, "as IUnknown"}, {Shape::VariableRef, "variable by reference"},
    {Shape::ReceiverByValue, "receiver by value"}, {Shape::ReceiverRef, "receiver by reference"},
    {Shape::Nothing, "Nothing"}, {Shape::Empty, "Empty"}, {Shape::Null, "Null"}, {Shape::Missing, "omitted"}};

void CheckOutputShapes() {
    for (const Decomposition& d : kDecompositions) {
        for (bool fails : {true, false}) {
            for (const auto& [shape, shapeName] : kShapes) {
                const std::string what = std::string(d.name) + (fails ? " failing, " : " succeeding, ") + shapeName;
                Matrix receiver = fails ? FromRows(d.failing) : Spd(), out = NewMatrix();
                if (!receiver || !out) return;
                IMatrixDual* target = shape == Shape::ReceiverByValue || shape == Shape::ReceiverRef ? receiver.Get() : out.Get();
                VARIANT variable = ByValue(target);  // the script variable that holds the object
                const ULONG before = Count(target);
                std::vector<VARIANT> args;
                for (int k = 0; k < d.outputs; ++k) {  // the same object in every position
                    switch (shape) {
                        case Shape::ByValue: case Shape::ReceiverByValue: args.push_back(ByValue(target)); break;
                        case Shape::Unknown: args.push_back(ByValue(target, VT_UNKNOWN)); break;
                        case Shape::VariableRef: case Shape::ReceiverRef: args.push_back(RefTo(&variable)); break;
                        case Shape::Nothing: args.push_back(ByValue(nullptr)); break;
                        case Shape::Empty: args.push_back(Var(VT_EMPTY)); break;
                        case Shape::Null: args.push_back(Var(VT_NULL)); break;
                        case Shape::Missing: args.push_back(Missing()); break;
                    }
                }
                EXCEPINFO exception{};
                HRESULT hr = Call(receiver.Get(), d.id, DISPATCH_METHOD, args, nullptr, &exception);
                if (hr == DISP_E_EXCEPTION) hr = exception.scode;  // a member's error comes back this way
                for (BSTR text : {exception.bstrSource, exception.bstrDescription, exception.bstrHelpFile})
                    SysFreeString(text);
                const bool byRef = shape == Shape::VariableRef || shape == Shape::ReceiverRef;
                const bool emptied = fails && d.id == kCholesky && d.failure == Code(14) && byRef;
                CHECK(hr == (fails ? d.failure : S_OK), WithHr(what + ": status", hr));
                CHECK(emptied ? V_VT(&variable) == VT_DISPATCH && !V_DISPATCH(&variable)
                              : V_VT(&variable) == VT_DISPATCH && V_DISPATCH(&variable) == target,
                      what + ": the caller's variable");
                CHECK(Count(target) == before - (emptied ? 1 : 0), what + ": reference count " + std::to_string(Count(target)) +
                                                                      " from " + std::to_string(before));
                long rows = 0;
                CHECK(SUCCEEDED(target->get_Rows(&rows)) && rows > 0, what + ": the object keeps working");
                VariantClear(&variable);
            }
        }
    }
}

// The other by-reference kinds: a permutation index (Variant), a sign
// (Long), a divisor (Double) and indices given by value and as variables
// of other types.
void CheckScalarAndVariantShapes() {
    Matrix a = Spd(), l = NewMatrix();
    IMatrixDual* lRef = l.Get();
    // LU's PermIndex by value: a copy is written, the caller's array stays.
    SAFEARRAYBOUND bound{2, 0};
    VARIANT array = Var(VT_ARRAY | VT_VARIANT);
    V_ARRAY(&array) = SafeArrayCreate(VT_VARIANT, 1, &bound);
    VARIANT index = Var(VT_EMPTY), sign = Var(VT_EMPTY);
    CHECK(SUCCEEDED(Call(a.Get(), kLU, DISPATCH_METHOD, {ObjectRef(&lRef), Missing(), array, RefTo(&sign)}, nullptr)) &&
              V_VT(&sign) == VT_I4 && (V_I4(&sign) == 1 || V_I4(&sign) == -1),
          "LU: PermIndex by value, PermSign into an Empty variable");
    CHECK(SUCCEEDED(Call(a.Get(), kLU, DISPATCH_METHOD, {Missing(), Missing(), RefTo(&index), Double(2.5)}, nullptr)) &&
              V_VT(&index) == (VT_ARRAY | VT_VARIANT), "LU: PermIndex into an Empty variable, PermSign by value");
    // RearrangeRows of that index by value, then by reference.
    Matrix b = Spd();
    VARIANT copy = Var(VT_EMPTY);
    VariantCopy(&copy, &index);
    CHECK(SUCCEEDED(Call(b.Get(), kRearrangeRows, DISPATCH_METHOD, {copy}, nullptr)) &&
              SUCCEEDED(Call(b.Get(), kRearrangeRows, DISPATCH_METHOD, {RefTo(&index)}, nullptr)),
          "RearrangeRows by value and by reference");
    VariantClear(&index);
    // NormalizeMe: by value the divisor is dropped, a variable receives it.
    VARIANT divisor = Var(VT_BSTR);
    V_BSTR(&divisor) = SysAllocString(L"3");
    Matrix c = FromRows({{2, 4}, {1, 8}});
    CHECK(SUCCEEDED(Call(c.Get(), kNormalizeMe, DISPATCH_METHOD, {Double(1)}, nullptr)) &&
              SUCCEEDED(Call(FromRows({{2, 4}, {1, 8}}).Get(), kNormalizeMe, DISPATCH_METHOD, {RefTo(&divisor)}, nullptr)) &&
              V_VT(&divisor) == VT_R8 && V_R8(&divisor) == 8, "NormalizeMe: by value, then into a text variable");
    VariantClear(&divisor);
    // Long and Double inputs given as other types, by value and by variable.
    VARIANT row = Var(VT_R8), result;
    V_R8(&row) = 1;
    CHECK(SUCCEEDED(Call(a.Get(), kRowVector, DISPATCH_METHOD, {RefTo(&row)}, &result)) && V_VT(&row) == VT_R8 &&
              V_VT(&result) == VT_DISPATCH, "RowVector of a Double variable keeps its type");
    VariantClear(&result);
    CHECK(Call(a.Get(), kRowVector, DISPATCH_METHOD, {Var(VT_NULL)}, &result) == DISP_E_TYPEMISMATCH,
          "RowVector(Null) is a type mismatch");
    VariantClear(&result);
    CHECK(SUCCEEDED(Call(a.Get(), kTimesScalar, DISPATCH_METHOD, {Long(2)}, &result)) && V_VT(&result) == VT_DISPATCH,
          "TimesScalar of a Long");
    VariantClear(&result);
    CHECK(Call(a.Get(), kTimes, DISPATCH_METHOD, {Long(2)}, &result) == DISP_E_TYPEMISMATCH, "Times(2): type mismatch");
    VariantClear(&result);
    // Through the vtable: the same object twice, and the receiver as output.
    IMatrixDual* self = a.Get();
    a->AddRef();
    const ULONG held = Count(a.Get());
    CHECK(SUCCEEDED(a->QR(&self, &self)) && SUCCEEDED(a->LU(&self, &self, nullptr, nullptr)) && Count(a.Get()) == held,
          "QR and LU with the receiver in both places");
    Matrix bad = FromRows({{-4}});
    IMatrixDual* badSelf = bad.Get();
    bad->AddRef();
    const ULONG badHeld = Count(bad.Get());
    CHECK(bad->Cholesky(&badSelf) == Code(14) && !badSelf && Count(bad.Get()) == badHeld - 1,
          "Cholesky failing on its own receiver empties that reference and releases it");
    if (self) self->Release();
    // A handler that puts a number into the caller's variable while Cholesky
    // runs; Cholesky then fails and empties the variable, whatever it holds.
    Matrix failing = FromRows({{4, 2}, {2, 0.5}}), out = NewMatrix();
    VARIANT variable = ByValue(out.Get());
    const ULONG outHeld = Count(out.Get());
    CallbackSink sink;
    sink.onProgress = [&variable](VARIANT_BOOL*) {
        VariantClear(&variable);
        V_VT(&variable) = VT_I4;
        V_I4(&variable) = 5;
    };
    DWORD cookie = 0;
    Ptr<IConnectionPoint> point = PointOf(failing.Get());
    if (point) point->Advise(&sink, &cookie);
    EventsOn(failing.Get());
    EXCEPINFO exception{};
    const HRESULT hr = Call(failing.Get(), kCholesky, DISPATCH_METHOD, {RefTo(&variable)}, nullptr, &exception);
    for (BSTR text : {exception.bstrSource, exception.bstrDescription, exception.bstrHelpFile}) SysFreeString(text);
    CHECK(hr == DISP_E_EXCEPTION && exception.scode == Code(14) && sink.events > 0 && V_VT(&variable) == VT_DISPATCH &&
              !V_DISPATCH(&variable) && Count(out.Get()) == outHeld - 1,
          "Cholesky after a handler reassigned the output variable");
    if (point) point->Unadvise(cookie);
    VariantClear(&variable);
}

// ---- Host floating-point states --------------------------------------------

#if defined(__x86_64__) || defined(__i386__)
struct FpState {
    unsigned mxcsr;
    unsigned short control, status;
    bool operator==(const FpState&) const = default;
};
struct X87Env {
    unsigned short control, r0, status, r1, tag, r2;
    unsigned rest[4];
};
FpState Capture() {
    FpState s{};
    __asm__ __volatile__("stmxcsr %0\n\tfnstcw %1\n\tfnstsw %2" : "=m"(s.mxcsr), "=m"(s.control), "=m"(s.status) : : "memory");
    s.status &= 0xFF;
    return s;
}
void Install(const FpState& s) {
    X87Env env{};
    __asm__ __volatile__("fnclex\n\tfnstenv %0" : "=m"(env) : : "memory");
    env.control = s.control;
    env.status = static_cast<unsigned short>((env.status & 0xFF00) | (s.status & 0xFF));
    __asm__ __volatile__("fldenv %0\n\tldmxcsr %1" : : "m"(env), "m"(s.mxcsr) : "memory");
}
const FpState kDefault = {0x1F80, 0x027F, 0};

// Host states: flags left set (on SSE and x87), exceptions unmasked,
// directed rounding, flush-to-zero and denormals-are-zero, x87 single
// precision, and all of it at once.
const std::pair<const char*, FpState> kHostStates[] = {
    {"SSE overflow flag", {0x1F88, 0x027F, 0}},
    {"SSE invalid flag", {0x1F81, 0x027F, 0}},
    {"SSE division-by-zero flag", {0x1F84, 0x027F, 0}},
    {"SSE underflow flag", {0x1F90, 0x027F, 0}},
    {"SSE inexact flag", {0x1FA0, 0x027F, 0}},
    {"x87 overflow and invalid flags", {0x1F80, 0x027F, 0x09}},
    {"exceptions unmasked", {0x0000, 0x0260, 0}},
    {"rounding upward", {0x5F80, 0x0A7F, 0}},
    {"rounding toward zero", {0x7F80, 0x0E7F, 0}},
    {"flush-to-zero, denormals-are-zero", {0x9FC0, 0x027F, 0}},
    {"x87 single precision", {0x1F80, 0x007F, 0}},
    {"all at once", {0xDFFF & ~0x1F80u, 0x0C40, 0}},
};

std::vector<double> Elements(const std::vector<Matrix>& ms) {
    std::vector<double> out;
    for (const Matrix& m : ms)
        for (const auto& row : ToRows(m)) out.insert(out.end(), row.begin(), row.end());
    return out;
}
bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// One call under test: `prepare` makes its arguments and outputs in the
// default state and returns the call, which runs between Install(state)
// and Capture().
using HostCall = std::function<HRESULT()>;
struct FpCase {
    const char* name;
    std::function<HostCall(std::vector<Matrix>& outs, double& scalar)> prepare;
};
std::vector<FpCase> FpCases() {
    const Rows general = {{4, 1.0 / 3, 2}, {1, 5, 3e-310}, {2.5, 0.1, 7}};
    using Outs = std::vector<Matrix>;
    return {
        {"QR", [=](Outs& o, double&) { Matrix a = FromRows(general); o = {NewMatrix(), NewMatrix()};
             return HostCall([=] { IMatrixDual *q = o[0].Get(), *r = o[1].Get(); return a->QR(&q, &r); }); }},
        {"QR by dispatch", [=](Outs& o, double&) { Matrix a = FromRows(general); o = {NewMatrix(), NewMatrix()};
             return HostCall([=] { IMatrixDual *q = o[0].Get(), *r = o[1].Get();
                 return Call(a.Get(), kQR, DISPATCH_METHOD, {ObjectRef(&q), ObjectRef(&r)}, nullptr); }); }},
        {"LU", [=](Outs& o, double&) { Matrix a = FromRows(general); o = {NewMatrix(), NewMatrix()};
             return HostCall([=] { IMatrixDual *l = o[0].Get(), *u = o[1].Get(); return a->LU(&l, &u, nullptr, nullptr); }); }},
        {"Cholesky", [](Outs& o, double&) { Matrix a = Spd(); o = {NewMatrix()};
             return HostCall([=] { IMatrixDual* l = o[0].Get(); return a->Cholesky(&l); }); }},
        {"SVD", [=](Outs& o, double&) { Matrix a = FromRows(general); o = {NewMatrix(), NewMatrix(), NewMatrix()};
             return HostCall([=] { IMatrixDual *u = o[0].Get(), *s = o[1].Get(), *v = o[2].Get(); return a->SVD(&u, &s, &v); }); }},
        {"Eigen", [](Outs& o, double&) { Matrix a = FromRows({{0, -1, 0.2}, {1, 0, 1.0 / 3}, {3e-310, 0.5, 2}});
             o = {NewMatrix(), NewMatrix(), NewMatrix(), NewMatrix()};
             return HostCall([=] { IMatrixDual *w = o[0].Get(), *x = o[1].Get(), *y = o[2].Get(), *z = o[3].Get();
                 return a->Eigen(&w, &x, &y, &z); }); }},
        {"Times, Inverse", [=](Outs& o, double&) { Matrix a = FromRows(general); o = {Matrix(), Matrix()};
             return HostCall([a, &o] { IMatrixDual* self = a.Get(); const HRESULT hr = a->Times(&self, o[0].Out());
                 return FAILED(hr) ? hr : a->Inverse(o[1].Out()); }); }},
        {"Determinant", [=](Outs&, double& d) { Matrix a = FromRows(general);
             return HostCall([a, &d] { return a->Determinant(&d); }); }},
        {"NormalizeMe of a subnormal", [](Outs& o, double& v) { o = {FromRows({{3e-310}})};
             return HostCall([&o, &v] { return o[0]->NormalizeMe(&v); }); }},
        {"Plus overflow", [](Outs& o, double&) { Matrix a = FromRows({{1.7e308}}); o = {Matrix()};
             return HostCall([a, &o] { IMatrixDual* self = a.Get(); return a->Plus(&self, o[0].Out()); }); }},
    };
}

void CheckHostStates() {
    for (const FpCase& c : FpCases()) {
        Install(kDefault);
        std::vector<Matrix> expectedOuts;
        double expectedScalar = 0;
        const HRESULT expectedHr = c.prepare(expectedOuts, expectedScalar)();
        std::vector<double> expected = Elements(expectedOuts);
        expected.push_back(expectedScalar);
        for (const auto& [stateName, state] : kHostStates) {
            std::vector<Matrix> outs;
            double scalar = 0;
            const HostCall call = c.prepare(outs, scalar);
            Install(state);
            const FpState before = Capture();
            const HRESULT hr = call();
            const FpState after = Capture();
            Install(kDefault);
            std::vector<double> got = Elements(outs);
            got.push_back(scalar);
            const std::string what = std::string(c.name) + " under " + stateName;
            CHECK(before == after, what + ": the host's state comes back");
            CHECK(hr == expectedHr && SameBits(got, expected), WithHr(what + ": same bits and status", hr));
        }
    }
}
#else
void CheckHostStates() {}
#endif

}  // namespace

CLIENT_GROUP(Outputs) {
    CheckOutputShapes();
    CheckScalarAndVariantShapes();
}

CLIENT_GROUP(HostStates) { CheckHostStates(); }

}  // namespace client
