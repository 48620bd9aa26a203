// libFuzzer target: decodes its input into a sequence of member calls on a
// few Matrix objects, with odd values, odd arrays and permutation indices,
// outputs that are omitted, empty, new, the receiver or one object twice,
// and event handlers that cancel, resize, release, reconnect, re-enter and
// throw. After every call the oracle (Oracle.h) checks what must always
// hold.
#include <array>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <xmmintrin.h>

#include "FuzzInput.h"
#include "Oracle.h"
#include "kestrim/Matrix.h"

namespace kestrim::fuzz {
namespace {

// Arrays with an empty dimension, or with an upper bound at the top of the
// Long range, are accepted by AsArray (let) today and give a matrix whose
// Rows or Cols is 0 or cannot be represented; that fault is being mended
// with the rest of the dimension arithmetic. Until then the decoder does not
// produce such arrays; switch this on once it is.
constexpr bool kEmptyAndHugeArrayBounds = false;

constexpr int kSlots = 4;
constexpr int kMaxDepth = 2;
constexpr int kMaxHandlers = 8;
constexpr std::size_t kMaxElements = 256;

// What a hostile handler throws: its own exception may reach the caller.
struct HandlerError {};

// True when a rows x cols request is small, refused as a count below 1, or
// so large that its byte size cannot be represented (refused without
// allocating). Requests in between would only exhaust the fuzzer's memory.
bool Affordable(int64_t rows, int64_t cols) {
    if (rows < 1 || cols < 1) return true;
    const auto count = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
    return count <= kMaxElements || count > (std::numeric_limits<uint64_t>::max() >> 3);
}

struct Session;
void RunCall(Session& s);

// The state of one input: the objects, the nesting depth of calls made
// from handlers, and what the handlers did during the current top-level
// call (which decides what the oracle may expect of it).
struct Session {
    explicit Session(FuzzInput input) : in(input) {}
    FuzzInput in;
    std::array<MatrixPtr, kSlots> slots;
    int depth = 0;
    int handlers = 0;
    bool disturbed = false;  // a handler changed an object or made a call
    bool cancelled = false;  // a handler set Cancel in a top-level event
    bool threw = false;      // a handler threw
    FpState callerState;     // what handlers must find when they start

    MatrixPtr& Slot() { return slots[in.Pick(kSlots)]; }
};

class HostileHandler : public MatrixEvents {
public:
    HostileHandler(Session& s, const MatrixPtr& owner) : s_(s), owner_(owner) {}
    Matrix::Cookie cookie = 0;

    void OnProgress(const std::string& op, float percent, bool& cancel) override {
        Start(op);
        // The elementwise operations divide by the row count read at each
        // event, so a handler that shrank the receiver earlier in the call
        // may see more than 100; otherwise the percentage stays in 0..100.
        Require(percent >= 0.0f && (percent <= 100.0f || s_.disturbed),
                op + ": percent " + std::to_string(percent) + " outside 0..100");
        Act(&cancel);
    }
    void Done(const std::string& op) override {
        Start(op);
        Act(nullptr);
    }

private:
    // Handlers run in the caller's floating-point environment.
    void Start(const std::string& op) {
        const FpState now = ReadFpState();
        Require(now == s_.callerState,
                op + ": handler runs in " + Describe(now) + ", caller had " + Describe(s_.callerState));
        Require(!op.empty(), "event without an operation name");
    }

    void Act(bool* cancel);

    Session& s_;
    std::weak_ptr<Matrix> owner_;
};

void Connect(Session& s, const MatrixPtr& m) {
    if (!m || s.handlers >= kMaxHandlers) return;
    ++s.handlers;
    auto h = std::make_shared<HostileHandler>(s, m);
    h->cookie = m->Connect(h);
}

DoubleArray DecodeArray(FuzzInput& in, int dims) {
    std::vector<std::pair<int32_t, int32_t>> bounds;
    std::size_t count = 1;
    for (int d = 0; d < dims; ++d) {
        static constexpr int32_t kLower[] = {0, 0, 0, 0, 0, 1, -1, std::numeric_limits<int32_t>::min()};
        const int32_t lower = kLower[in.Pick(8)];
        int32_t extent = static_cast<int32_t>(in.Pick(5)) + 1;
        if (kEmptyAndHugeArrayBounds && in.Pick(8) == 0) extent = in.Flag() ? 0 : std::numeric_limits<int32_t>::max();
        const int64_t upper = static_cast<int64_t>(lower) + extent - 1;
        bounds.emplace_back(lower, static_cast<int32_t>(std::min<int64_t>(upper, std::numeric_limits<int32_t>::max())));
        count *= static_cast<std::size_t>(upper - lower + 1);
    }
    if (count > kMaxElements) return DoubleArray::Create1D(0);
    DoubleArray a = DoubleArray::Create(bounds);
    for (std::size_t k = 0; k < a.Count(); ++k) a.Data()[k] = in.Double();
    return a;
}

Variant DecodeScalar(FuzzInput& in) {
    static const char* const kTexts[] = {"1", "0", " 2 ", "-1", "x", "", "1e3", "2147483648", "&H10", "1.5"};
    switch (in.Pick(6)) {
        case 0: return Variant();
        case 1: return Variant::FromBoolean(in.Flag());
        case 2: return Variant(in.Double());
        case 3: return Variant(kTexts[in.Pick(10)]);
        default: return Variant(static_cast<int32_t>(in.Pick(5)) - (in.Pick(4) == 0 ? 6 : 0));
    }
}

// A permutation index: arrays of Variants, Longs or Doubles with odd lower
// bounds and entries, an array without storage, a scalar, or a 2-D array.
Variant DecodePermutation(FuzzInput& in) {
    const unsigned kind = in.Pick(10);
    const int32_t count = static_cast<int32_t>(in.Pick(6));
    static constexpr int32_t kLower[] = {0, 0, 0, 1, -1, 3, std::numeric_limits<int32_t>::min()};
    const int32_t lower = kLower[in.Pick(7)];
    switch (kind) {
        case 0: return DecodeScalar(in);
        case 1: return Variant::MakeArrayWithoutStorage(in.Flag() ? VariantType::VariantArray : VariantType::LongArray);
        case 2: return Variant(DecodeArray(in, in.Flag() ? 1 : 2));
        case 3:
        case 4: {
            std::vector<int32_t> v;
            for (int32_t k = 0; k < count; ++k) v.push_back(in.Pick(4) == 0 ? in.Long() : static_cast<int32_t>(in.Pick(5)));
            return Variant::MakeLongArray(v, lower);
        }
        default: {
            std::vector<Variant> v;
            for (int32_t k = 0; k < count; ++k)
                v.push_back(in.Pick(3) == 0 ? DecodeScalar(in) : Variant(static_cast<int32_t>(in.Pick(5))));
            return Variant::MakeVariantArray(v, lower);
        }
    }
}

void HostileHandler::Act(bool* cancel) {
    FuzzInput& in = s_.in;
    switch (in.Pick(24)) {
        case 0:
            if (cancel) {
                *cancel = true;
                if (s_.depth == 0) s_.cancelled = true;
            }
            return;
        case 1: {  // resize any object, the receiver included
            MatrixPtr m = s_.Slot();
            const int32_t r = in.Count(), c = in.Count();
            s_.disturbed = true;
            if (!m || !Affordable(r, c)) return;
            try {
                m->Size(r, c);
            } catch (const Error& e) {
                RequireDocumented(e);
            }
            return;
        }
        case 2: {
            MatrixPtr m = s_.Slot();
            s_.disturbed = true;
            if (!m) return;
            try {
                m->SetItem(in.Long(), in.Long(), in.Double());
            } catch (const Error& e) {
                RequireDocumented(e);
            }
            return;
        }
        case 3: s_.Slot().reset(); return;  // release a reference (the caller keeps its own)
        case 4:
            if (auto owner = owner_.lock()) owner->Disconnect(cookie);
            return;
        case 5: Connect(s_, s_.Slot()); return;
        case 6:  // reconnect: a fresh handler replaces this one
            if (auto owner = owner_.lock()) {
                owner->Disconnect(cookie);
                Connect(s_, owner);
            }
            return;
        case 7:
        case 8:  // re-enter: any call, on any object
            s_.disturbed = true;
            if (s_.depth < kMaxDepth) {
                ++s_.depth;
                RunCall(s_);
                --s_.depth;
            }
            return;
        case 9: s_.threw = true; throw HandlerError{};
        case 10: {
            MatrixPtr m = s_.Slot();
            s_.disturbed = true;
            if (m) m->SetFireEvents(!m->FireEvents());
            return;
        }
        case 11: {  // the handler's own arithmetic and control changes
            std::fesetround(FE_UPWARD);
            volatile double zero = 0.0, big = 1e308;
            volatile double r = 1.0 / zero + big * big;
            (void)r;
            std::feraiseexcept(FE_ALL_EXCEPT);
            _mm_setcsr(_mm_getcsr() | 0x8040u);
            return;
        }
        case 12: {
            MatrixPtr m = s_.Slot();
            Variant v(DecodeArray(in, 1 + static_cast<int>(in.Pick(2))));
            s_.disturbed = true;
            if (!m) return;
            try {
                m->SetAsArray(v);
            } catch (const Error& e) {
                RequireDocumented(e);
            }
            return;
        }
        default: return;  // most events: just observe
    }
}

// ---- Calls ---------------------------------------------------------------------

enum class Call {
    Size, SetRows, SetCols, Item, SetItem, FireEvents, AsArray, SetAsArray, Clone, GetString, Version,
    FillRandom, Transpose, Plus, PlusEquals, Minus, MinusEquals, TimesScalar, Times, IsSquare, IsSymmetric,
    IsEqualTo, Normalize, NormalizeMe, RowVector, ColVector, RearrangeRows, RearrangeCols, LU, LUdc,
    Determinant, Inverse, Solve, SolveGauss, Cholesky, CHOLdc, QR, SVD, Eigen, Connect, Disconnect, New,
    Alias, kCount
};

// The caller's by-reference outputs of one call: omitted, an empty
// reference, a new object, an object the session holds (possibly the
// receiver), or the same reference as an earlier output.
struct Outputs {
    std::array<MatrixPtr, 4> vars;
    std::array<MatrixPtr*, 4> ptrs{};
    bool receiverIsOutput = false;

    Outputs(Session& s, const MatrixPtr& receiver) {
        for (int k = 0; k < 4; ++k) {
            switch (s.in.Pick(6)) {
                case 0: ptrs[k] = nullptr; break;
                case 1: ptrs[k] = &vars[k]; break;
                case 2: vars[k] = Matrix::New(); ptrs[k] = &vars[k]; break;
                case 3: ptrs[k] = &s.Slot(); break;
                case 4: ptrs[k] = k > 0 ? ptrs[k - 1] : &vars[k]; break;
                default: vars[k] = s.Slot(); ptrs[k] = &vars[k]; break;
            }
            if (ptrs[k] && *ptrs[k] == receiver) receiverIsOutput = true;
        }
    }
    bool Holds(const MatrixPtr& m) const {
        for (auto* p : ptrs)
            if (p && *p == m) return true;
        return false;
    }
    void Check() const {
        for (auto* p : ptrs)
            if (p && *p) TakeSnapshot(**p);
    }
};

std::optional<Elementwise> AsElementwise(Call c) {
    switch (c) {
        case Call::Plus: return Elementwise::Plus;
        case Call::Minus: return Elementwise::Minus;
        case Call::PlusEquals: return Elementwise::PlusEquals;
        case Call::MinusEquals: return Elementwise::MinusEquals;
        case Call::TimesScalar: return Elementwise::TimesScalar;
        case Call::Transpose: return Elementwise::Transpose;
        case Call::Times: return Elementwise::Times;
        default: return std::nullopt;
    }
}

bool TakesArgument(Call c) {
    switch (c) {
        case Call::Plus: case Call::Minus: case Call::PlusEquals: case Call::MinusEquals: case Call::Times:
        case Call::IsEqualTo: case Call::Solve: case Call::SolveGauss:
            return true;
        default: return false;
    }
}

void Store(Session& s, MatrixPtr result) {
    if (result) TakeSnapshot(*result);
    s.Slot() = std::move(result);
}

// Compares a completed or faulted elementwise call with the plain
// recomputation from the snapshots taken before it.
void CheckElementwise(Elementwise op, const Snapshot& before, const std::optional<Snapshot>& argBefore, double number,
                      const std::optional<Error>& error, const MatrixPtr& result, const Snapshot& after) {
    const auto expected = Recompute(op, before, argBefore ? &*argBefore : nullptr, number);
    if (!expected) return;
    if (expected->fault) {
        Require(error.has_value() && MatchesFault(*error, expected->fault),
                "fault not reported as its error: " + (error ? error->Description() : std::string("no error")));
    } else {
        Require(!error, "elementwise call failed without a fault: " + (error ? error->Description() : ""));
        const bool inPlace = op == Elementwise::PlusEquals || op == Elementwise::MinusEquals;
        Require(inPlace || result != nullptr, "completed call returned no result");
        if (result) {
            const Snapshot got = TakeSnapshot(*result);
            Require(got.rows == expected->rows && got.cols == expected->cols && SameValues(got.data, expected->result),
                    "elementwise result differs from the plain recomputation");
        }
    }
    Require(after.rows == before.rows && after.cols == before.cols && SameValues(after.data, expected->receiver),
            "receiver differs from the plain recomputation");
}

// Decodes and makes one call, then checks the oracle. At depth 0 the call
// runs in an odd caller environment; from a handler it runs in the
// handler's own.
void RunCall(Session& s) {
    FuzzInput& in = s.in;
    const auto call = static_cast<Call>(in.Pick(static_cast<unsigned>(Call::kCount)));
    currentCall = static_cast<int>(call);
    // The caller's own references, held for the whole call as a host does.
    const MatrixPtr self = s.Slot();
    const MatrixPtr arg = in.Pick(5) == 0 ? self : s.Slot();
    if (call == Call::New) {
        auto m = Matrix::New();
        if (in.Flag()) Connect(s, m);
        s.Slot() = std::move(m);
        return;
    }
    if (call == Call::Alias) {
        s.Slot() = self;
        return;
    }
    if (!self) return;

    // Arguments, decoded before the caller's environment is entered.
    const int32_t r = in.Count(), c = in.Count(), i = in.Long(), j = in.Long();
    const double x = in.Double(), y = in.Double();
    const auto decimals = static_cast<int16_t>(in.Pick(4) == 0 ? in.Raw<int16_t>() : static_cast<int16_t>(in.Pick(6)));
    Variant array = call == Call::SetAsArray
                        ? (in.Pick(4) == 0 ? DecodeScalar(in) : Variant(DecodeArray(in, 1 + static_cast<int>(in.Pick(3)))))
                        : Variant();
    Variant perm = call == Call::RearrangeRows || call == Call::RearrangeCols ? DecodePermutation(in) : Variant();
    Outputs out(s, self);
    const bool argIsOutput = arg && out.Holds(arg);
    Variant permOut;
    int32_t sign = 7;
    double norm = 0;
    const bool fireEvents = in.Flag();
    const bool stringEol = in.Flag();

    if ((call == Call::Size && !Affordable(r, c)) || (call == Call::SetRows && !Affordable(r, self->Cols())) ||
        (call == Call::SetCols && !Affordable(self->Rows(), c)))
        return;

    const Snapshot before = TakeSnapshot(*self);
    const std::optional<Snapshot> argBefore = arg ? std::optional<Snapshot>(TakeSnapshot(*arg)) : std::nullopt;

    CallerEnvironment env;
    if (s.depth == 0) {
        static constexpr int kRounding[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
        env.rounding = kRounding[in.Pick(4)];
        env.flags = static_cast<int>(in.Byte()) & FE_ALL_EXCEPT;
        env.flushToZero = in.Pick(4) == 0;
        s.disturbed = s.cancelled = s.threw = false;
    }

    MatrixPtr result;
    bool returned = false;
    std::optional<Error> error;
    if (s.depth == 0) env.Enter();
    const FpState entry = ReadFpState();
    if (s.depth == 0) s.callerState = entry;
    try {
        switch (call) {
            case Call::Size: self->Size(r, c); break;
            case Call::SetRows: self->SetRows(r); break;
            case Call::SetCols: self->SetCols(c); break;
            case Call::Item: (void)self->Item(i, j); break;
            case Call::SetItem: self->SetItem(i, j, x); break;
            case Call::FireEvents: self->SetFireEvents(fireEvents); break;
            case Call::AsArray: (void)self->AsArray(); break;
            case Call::SetAsArray: self->SetAsArray(array); break;
            case Call::Clone: result = self->Clone(); break;
            case Call::GetString: (void)self->GetString(decimals, stringEol ? "\r\n" : ""); break;
            case Call::Version: (void)self->Version(); break;
            case Call::FillRandom: self->FillRandom(x, y, decimals); break;
            case Call::Transpose: result = self->Transpose(); break;
            case Call::Plus: result = self->Plus(arg); break;
            case Call::PlusEquals: self->PlusEquals(arg); break;
            case Call::Minus: result = self->Minus(arg); break;
            case Call::MinusEquals: self->MinusEquals(arg); break;
            case Call::TimesScalar: result = self->TimesScalar(x); break;
            case Call::Times: result = self->Times(arg); break;
            case Call::IsSquare: (void)self->IsSquare(); break;
            case Call::IsSymmetric: (void)self->IsSymmetric(); break;
            case Call::IsEqualTo: (void)self->IsEqualTo(arg, x); break;
            case Call::Normalize: result = self->Normalize(fireEvents ? &norm : nullptr); break;
            case Call::NormalizeMe: self->NormalizeMe(fireEvents ? &norm : nullptr); break;
            case Call::RowVector: result = self->RowVector(i); break;
            case Call::ColVector: result = self->ColVector(j); break;
            case Call::RearrangeRows: self->RearrangeRows(perm); break;
            case Call::RearrangeCols: self->RearrangeCols(perm); break;
            case Call::LU: self->LU(out.ptrs[0], out.ptrs[1], fireEvents ? &permOut : nullptr, stringEol ? &sign : nullptr); break;
            case Call::LUdc: self->LUdc(out.ptrs[0], out.ptrs[1], fireEvents ? &permOut : nullptr, stringEol ? &sign : nullptr); break;
            case Call::Determinant: (void)self->Determinant(); break;
            case Call::Inverse: result = self->Inverse(); break;
            case Call::Solve: result = self->Solve(arg); break;
            case Call::SolveGauss: result = self->SolveGauss(arg); break;
            case Call::Cholesky: self->Cholesky(out.ptrs[0]); break;
            case Call::CHOLdc: self->CHOLdc(out.ptrs[0]); break;
            case Call::QR: self->QR(out.ptrs[0], out.ptrs[1]); break;
            case Call::SVD: self->SVD(out.ptrs[0], out.ptrs[1], out.ptrs[2]); break;
            case Call::Eigen: self->Eigen(out.ptrs[0], out.ptrs[1], out.ptrs[2], out.ptrs[3]); break;
            case Call::Connect: Connect(s, self); break;
            case Call::Disconnect: self->Disconnect(static_cast<Matrix::Cookie>(in.Pick(12))); break;
            case Call::New:
            case Call::Alias:
            case Call::kCount: break;
        }
        returned = true;
    } catch (const Error& e) {
        error = e;
    } catch (const HandlerError&) {
        Require(s.threw, "a HandlerError that no handler threw");
    } catch (const std::exception& e) {
        Fail(std::string("undocumented exception: ") + e.what());
    }
    const FpState exit = ReadFpState();
    if (s.depth == 0) std::fesetenv(FE_DFL_ENV);
    Require(exit == entry, "floating-point state not restored: " + Describe(exit) + ", caller had " + Describe(entry));

    if (error) RequireDocumented(*error);
    out.Check();
    if (s.depth > 0) return;  // the outer call's handlers changed things; only the basics hold

    const Snapshot after = TakeSnapshot(*self);
    const bool quiet = !s.disturbed && !s.threw;
    // Validation errors and cancels leave the receiver as it was.
    if (quiet && !out.receiverIsOutput && ((error && IsComponentError(error->Number())) || (returned && s.cancelled)))
        Require(after.SameAs(before), "receiver changed by a refused or cancelled call");

    if (const auto op = AsElementwise(call); op && quiet && !s.cancelled)
        CheckElementwise(*op, before, argBefore, x, error, result, after);
    // A Matrix argument that is neither the receiver nor an output is never changed.
    if (quiet && TakesArgument(call) && arg && arg != self && !argIsOutput)
        Require(TakeSnapshot(*arg).SameAs(*argBefore), "argument changed");
    for (const auto& m : s.slots)
        if (m) TakeSnapshot(*m);
    if (result) Store(s, std::move(result));
}

}  // namespace
}  // namespace kestrim::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kestrim::fuzz;
    Session s{FuzzInput(data, size)};
    for (auto& m : s.slots) m = kestrim::Matrix::New();
    for (int k = 0; k < 64 && !s.in.Exhausted(); ++k) RunCall(s);
    return 0;
}
