#include "linsys/GaussJordan.h"
#include "linsys/Kernels.h"
#include "linsys/Oracles.h"
#include "support/ProductKernels.h"

namespace kestrim::test {
namespace {

const double kInf = INFINITY;
// A NaN in the pivot row reaches a row whose entry is 0.0 only where that row
// is processed: inversion does (and finds no pivot), Determinant and SolveGauss skip it.
const Rows kNanAboveZero{{1, NAN}, {0, 1}};

Rows Det(const Rows& a) { return {{MakeMatrix(a)->Determinant()}}; }
Rows Inv(const Rows& a) { return ToRows(*MakeMatrix(a)->Inverse()); }
Rows Sol(const Rows& a, const Rows& b) { return ToRows(*MakeMatrix(a)->Solve(MakeMatrix(b))); }
Rows Gauss(const Rows& a, const Rows& b) { return ToRows(*MakeMatrix(a)->SolveGauss(MakeMatrix(b))); }
std::vector<int32_t> PermOf(const Variant& perm) {
    std::vector<int32_t> p;
    EXPECT_EQ(perm.Type(), VariantType::VariantArray);
    for (int32_t i = perm.LBound(); i <= perm.UBound(); ++i)  // an element not a Long shows as -99
        p.push_back(perm.At(i).Type() == VariantType::Long ? perm.At(i).AsLongRaw() : -99);
    return p;
}
// An operation, its events' names, its result as rows (outputs start as {{8}}), its result when cancelled.
struct NamedOp { const char *progress, *done; Rows (*run)(const MatrixPtr&); Rows cancelled; };
Rows Of(const MatrixPtr& m) { return m ? ToRows(*m) : Rows{}; }
MatrixPtr Ones(const MatrixPtr& a) { return MakeMatrix(Rows(a->Rows(), {1.0})); }
Rows RunLu(const MatrixPtr& a, MatrixPtr u = MakeMatrix({{8}})) { return a->LU(nullptr, &u), Of(u); }
Rows RunChol(const MatrixPtr& a, MatrixPtr l = MakeMatrix({{8}})) { return a->Cholesky(&l), Of(l); }
const NamedOp kLu{"LU", "LU", [](auto& a) { return RunLu(a); }, {{8}}};
const NamedOp kChol{"Cholesky", "CHOLdc", [](auto& a) { return RunChol(a); }, {{8}}};
Rows Chol(const Rows& a) { return RunChol(MakeMatrix(a), Matrix::New()); }
const NamedOp kDet{"Determinant", "Determinant", [](auto& a) { return Rows{{a->Determinant()}}; }, {{0}}};
const NamedOp kInv{"Inverse", "Inverse", [](auto& a) { return Of(a->Inverse()); }, {}};
const NamedOp kSol{"Inverse", "Solve", [](auto& a) { return Of(a->Solve(Ones(a))); }, {}};
const NamedOp kGauss{"SolveGauss", "SolveGauss", [](auto& a) { return Of(a->SolveGauss(Ones(a))); }, {}};
const NamedOp* const kOps[] = {&kLu, &kDet, &kInv, &kSol, &kGauss, &kChol};

// LU as rows: L, then U, then the permutation followed by the sign.
Rows LuRows(const Rows& a, bool events = false) {
    MatrixPtr l = Matrix::New(), u = Matrix::New();
    Variant perm;
    int32_t sign = 0;
    const MatrixPtr m = MakeMatrix(a);
    if (events) Record(m);
    m->LU(&l, &u, &perm, &sign);
    Rows r = ToRows(*l), ur = ToRows(*u);
    r.insert(r.end(), ur.begin(), ur.end());
    const auto p = PermOf(perm);
    r.emplace_back(p.begin(), p.end());
    r.back().push_back(sign);
    return r;
}

TEST(EliminationTest, WorkedExamples) {
    const double r3 = 1.0 / 3;  // Solve forms the reciprocal, then multiplies
    const std::vector<std::pair<Rows, Rows>> cases{
        {LuRows({{1, 2}, {2, 4}}), {{1, 0}, {0.5, 1}, {2, 4}, {0, 1e-20}, {1, 0, -1}}},  // tie: later row
        {LuRows({{0, 1}, {0, 2}}), {{1, 0}, {0, 1}, {1e-20, 2}, {0, 1}, {1, 0, -1}}},  // all weights 0
        {LuRows({{-3.5}}), {{1}, {-3.5}, {0, 1}}},
        {Det({{0, 1}, {1, 0}}), {{-1}}}, {Det({{1, 2}, {-1, 3}}), {{5}}}, {Det(kNanAboveZero), {{1}}},
        {Det({{1, 2, 0}, {3, 4, 0}, {5, 6, 0}}), {{0}}}, {Gauss(kNanAboveZero, {{1}, {2}}), {{NAN}, {2}}},
        {Inv({{4}}), {{0.25}}}, {Inv({{0, 1}, {1, 0}}), {{0, 1}, {1, 0}}},
        {Sol({{2, 0}, {0, 4}}, {{2}, {4}}), {{1}, {1}}}, {Sol({{0, 1}, {1, 0}}, {{3}, {5}}), {{5}, {3}}},
        {Sol({{3}}, {{7}}), {{r3 * 7}}}, {Gauss({{1, 2}, {-1, 3}}, {{3}, {2}}), {{1}, {1}}},
        {Gauss({{0, 1}, {1, 0}}, {{3}, {5}}), {{5}, {3}}}, {Chol({{9}}), {{3}}},
        {Chol({{4, 2}, {2, 3}}), {{2, 0}, {1, std::sqrt(2.0)}}}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& [got, expect] = cases[i];
        EXPECT_TRUE(got == expect || SameRows(got, expect)) << "case " << i;
    }
}

TEST(EliminationTest, ErrorNumbersHelpContextsAndMessages) {
    auto rowsOnly = [](int32_t n) { auto m = Matrix::New(); m->SetRows(n); return m; };  // n x 1, no elements
    const MatrixPtr sq = MakeMatrix({{1, 2}, {3, 4}}), wide = MakeMatrix({{1, 2, 3}, {4, 5, 6}});
    const MatrixPtr singular = MakeMatrix({{1, 2}, {2, 4}}), col = MakeMatrix({{1}, {1}});
    const auto E = MatrixErrorNumber;
    const auto kMissing = static_cast<int32_t>(RuntimeError::MissingObject);
    const auto kSubscript = static_cast<int32_t>(RuntimeError::SubscriptOutOfRange);
    const auto kOverflow = static_cast<int32_t>(RuntimeError::Overflow);
    struct Case { std::function<void()> run; int32_t number, help = -1; const char* text = nullptr; };
    const std::vector<Case> cases{
        {[] { MakeMatrix({{0}})->LU(); }, E(13), 1127, "\r\rDecomposition is not possible for a singular matrix."},
        {[&] { wide->LUdc(); }, E(5), 1127}, {[&] { wide->Determinant(); }, E(8), 1116},
        {[&] { wide->Inverse(); }, E(5), 1108}, {[&] { singular->Inverse(); }, E(6), 1108},
        {[] { Inv(kNanAboveZero); }, E(6), 1108}, {[&] { singular->SolveGauss(col); }, E(10), 1118},
        {[&] { sq->Solve(MakeMatrix({{1, 2}})); }, E(11), 1117}, {[&] { sq->SolveGauss(sq); }, E(11), 1118},
        {[&] { sq->Solve(sq); }, E(11), 1117},  // the right rows, but two columns
        {[&] { singular->Solve(col); }, E(10), 1117}, {[] { Sol(kNanAboveZero, {{1}, {1}}); }, E(10), 1117},
        {[&] { wide->Solve(nullptr); }, E(9), 1117, "\r\rNot as square Matrix. System of equations can not"},
        {[] { MakeMatrix({{0}})->SolveGauss(Matrix::New()); }, E(10), 1118},  // fails before reading b
        {[&] { wide->SolveGauss(MakeMatrix({{1}})); }, E(9), 1118, "\r\rNot a square Matrix. System of"},
        {[] { Chol({{0}}); }, E(14), 1128}, {[] { Chol({{NAN}}); }, E(14), 1128}, {[] { Chol({{1, 2}}); }, E(5), 1128},
        {[] { Chol({{1e-300, 1, 1e300}, {2, 1, 0}, {1e300, 0, 1}}); }, E(14), 1128},  // asymmetry before overflow
        {[&] { sq->Solve(nullptr); }, kMissing}, {[&] { wide->SolveGauss(nullptr); }, kMissing},
        {[] { MakeMatrix({{2}})->Solve(Matrix::New()); }, kSubscript},  // b without storage: raises on first read
        {[&] { MakeMatrix({{1, 0, 0}, {3, 1, 0}, {0, 0, 1}})->SolveGauss(rowsOnly(3)); }, kSubscript},
        {[&] { MakeMatrix({{1e-300, 1e300}, {0, 1}})->SolveGauss(rowsOnly(2)); }, kOverflow}};  // pivot row first
    for (size_t i = 0; i < cases.size(); ++i) {
        try {
            cases[i].run();
            ADD_FAILURE() << "case " << i << " raised nothing";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), cases[i].number) << "case " << i << ": " << e.Description();
            EXPECT_TRUE(cases[i].help < 0 || e.HelpContext() == cases[i].help) << "case " << i;
            EXPECT_TRUE(!cases[i].text || e.Description().find(cases[i].text) != std::string::npos) << i;
        }
    }
}

void ShrinkTo2(Matrix& m) { m.Size(2, 2), m.SetItem(1, 1, 100); }  // Cholesky then reads (1, 1), then (2, 1)

// Progress events, then Done, a plain return or an error; the first fault decides which.
TEST(EliminationTest, EventsErrorsAndFaultsInOrder) {
    const char *kDone = "Done", *kReturn = "", *kFailed = nullptr, *kOver = "Overflow";
    const char* kInvalid = kInvalidOperationText;
    const float t = 100.0f / 3, tt = 200.0f / 3;
    const Rows spd{{4, 2, 2}, {2, 5, 3}, {2, 3, 6}}, sym2{{2, 1}, {1, 3}}, inf2{{1, kInf}, {1, kInf}};
    struct Case { const NamedOp& op; Rows a; std::vector<float> percents; const char* end;
                  void (*onEvent)(Matrix&) = nullptr; };
    const std::vector<Case> cases{
        {kLu, spd, {t, tt, 100}, kDone}, {kLu, {{1, 2, 3}, {0, 0, 0}, {4, 5, 6}}, {}, kFailed},
        {kLu, inf2, {50}, kInvalid}, {kLu, {{2, 0, 1.7e308}, {0, 1, 0}, {1.9, 0, -1.7e308}}, {t, tt}, kOver},
        {kDet, sym2, {50, 100}, kDone}, {kDet, {{1, 2, 0}, {3, 4, 0}, {5, 6, 0}}, {t, tt}, kReturn},
        {kDet, {{1e200, 0}, {0, 1e200}}, {50, 100}, kOver}, {kDet, inf2, {}, kInvalid},  // the product
        {kDet, {{1, 0, 0}, {0, 1, 1e308}, {0, 1, -1e308}}, {t}, kOver,
         [](Matrix& m) { m.SetAsArray(DoubleArray::Create2D(-1, 0)); }},
        {kInv, {{4}}, {100}, kDone}, {kInv, {{1, 2}, {2, 4}}, {50}, kFailed},
        {kInv, {{1e-300, 1e300}, {0, 1}}, {}, kOver},  // before 0 * inf in the next row
        {kInv, {{1, kInf}, {1, 1}}, {50}, kInvalid}, {kInv, {{1, 0, 0}, {0, 1e-300, 1e300}, {0, 0, 1}}, {t}, kOver},
        {kSol, sym2, {50, 100}, kDone}, {kGauss, sym2, {50, 100}, kDone},
        {kGauss, {{1, 0, 0}, {0, 1, 1e308}, {0, 1, -1e308}}, {t}, kOver, [](Matrix& m) { m.Size(1, 1); }},
        // Tied pivots whose other choice would overflow at step 0: the
        // step-by-step replay that finds the faulting step breaks ties as
        // the blocked elimination does (the last row; SolveGauss the first).
        {kDet, {{1, 1e308, 1e308}, {1, -1e308, 1e308}, {1, 0, 0}}, {t}, kOver},
        {kInv, {{1, 1e308, 1e308}, {1, -1e308, 1e308}, {1, 0, 0}}, {t}, kOver},
        {kGauss, {{1, 0, 0}, {1, 1e308, 1e308}, {1, -1e308, 1e308}}, {t}, kOver},
        {kChol, spd, {t, tt, 100}, kDone}, {kChol, {{1, 2}, {2, 1}}, {50}, kFailed},  // radicand
        {kChol, {{4, 2, 0}, {2, 3, 1}, {0, 2, 5}}, {t}, kFailed},  // asymmetry after column 0
        {kChol, {{1e-300, 1e300, 1}, {1e300, 1, 0}, {2, 0, 1}}, {}, kOver},  // before row 2's asymmetry
        {kChol, {{1, 1e200}, {1e200, 1}}, {50}, kOver},  // the radicand's sum, not a failed test
        {kChol, spd, {t}, RuntimeErrorText(RuntimeError::SubscriptOutOfRange), ShrinkTo2}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        auto a = MakeMatrix(c.a);
        auto rec = Record(a);
        if (c.onEvent) rec->onProgress = [&a, &c](int, bool&) { c.onEvent(*a); };
        const bool returns = c.end == kDone || c.end == kReturn;
        try {
            c.op.run(a);
            EXPECT_TRUE(returns) << "case " << i << " raised nothing";
        } catch (const Error& e) {
            EXPECT_FALSE(returns) << "case " << i << ": " << e.Description();
            EXPECT_TRUE(!c.end || e.Description() == c.end) << "case " << i << ": " << e.Description();
        }
        std::vector<RecordedEvent> expect;
        for (float p : c.percents) expect.push_back({"OnProgress", c.op.progress, p});
        if (c.end == kDone) expect.push_back({"Done", c.op.done, 0.0f});
        EXPECT_EQ(rec->events, expect) << "case " << i;
    }
}

// No storage raises the subscript error; cancelling gives the empty result; a handler
// switching events off gets no more events, not even Done, and the full result.
TEST(EliminationTest, NoStorageCancelAndEventsSwitchedOff) {
    for (const NamedOp* op : kOps) {
        EXPECT_RUNTIME_ERROR(op->run(Matrix::New()), RuntimeError::SubscriptOutOfRange);  // no storage
        auto m = MakeMatrix({{4, 1, 2}, {1, 5, 3}, {2, 3, 6}});
        auto rec = Record(m);
        rec->onProgress = [](int index, bool& cancel) { cancel = index == 1; };
        EXPECT_EQ(op->run(m), op->cancelled) << op->done;
        EXPECT_EQ(rec->events.size(), 2u) << op->done;
        rec->events.clear();
        rec->onProgress = [&m](int, bool&) { m->SetFireEvents(false); };
        EXPECT_NE(op->run(m), op->cancelled) << op->done;
        EXPECT_EQ(rec->events.size(), 1u) << op->done;
    }
}

// Asymmetry and faults keep Cholesky's output; a failed radicand test empties it.
TEST(EliminationTest, CholeskyOutputOnFailure) {
    const MatrixPtr original = MakeMatrix({{7}});
    for (const auto& [a, kept] : std::vector<std::pair<Rows, bool>>{
             {{{1, 2}, {3, 4}}, true}, {{{4, 2, 0}, {2, 3, 1}, {0, 2, 5}}, true}, {{{1, 2}, {2, 1}}, false},
             {{{0, 0}, {0, 1}}, false}, {{{1e-300, 1e300}, {1e300, 1}}, true}}) {  // the last overflows
        MatrixPtr l = original;
        EXPECT_THROW(MakeMatrix(a)->CHOLdc(&l), Error);
        EXPECT_EQ(l, kept ? original : nullptr);
    }
    EXPECT_EQ(ToRows(*original), (Rows{{7}}));
}

TEST(LuTest, PermutationAfterCancelAndFault) {
    Variant perm;
    int32_t sign = 0;
    // Cancelled at the first event: the permutation as reached.
    const Rows src{{1, 2, 0}, {3, 1, 1}, {0, 5, 1}};
    const auto partial = oracle::Lu(src, 1);
    ASSERT_NE(partial->perm, oracle::Lu(src)->perm);  // column 1 still interchanges
    auto a = MakeMatrix(src);
    Record(a)->onProgress = [](int, bool& cancel) { cancel = true; };
    a->LU(nullptr, nullptr, &perm, &sign);
    EXPECT_EQ(PermOf(perm), partial->perm);
    EXPECT_EQ(sign, partial->sign);

    // A product of column 0 overflows in element (35, 35), reached in column 35 of the
    // blocked elimination's second panel: 35 events, then the fault, though a handler shrank the receiver.
    const int n = 40;
    Rows big = Identity(n);
    big[0][0] = 2, big[0][35] = 1.7e308, big[35][0] = 1.9, big[35][35] = -1.7e308;
    std::swap(big[1], big[2]);
    auto b = MakeMatrix(big);
    auto rec = Record(b);
    rec->onProgress = [&b](int index, bool&) { if (index == 0) b->Size(1, 1); };
    EXPECT_RUNTIME_ERROR(b->LU(nullptr, nullptr, &perm, &sign), RuntimeError::Overflow);
    ASSERT_EQ(rec->events.size(), 35u);
    EXPECT_EQ(rec->events.back(), (RecordedEvent{"OnProgress", "LU", 3500.0f / n}));
    std::vector<int32_t> expect{0, 2, 1};  // the interchange of column 1, recorded once
    for (int i = 3; i < n; ++i) expect.push_back(i);
    EXPECT_EQ(PermOf(perm), expect);
    EXPECT_EQ(sign, -1);
}

Rows LuRowsOf(const oracle::LuResult& r) {  // the oracle's factors laid out as LuRows gives them
    const size_t n = r.a.size();
    Rows out(2 * n, std::vector<double>(n, 0.0));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) out[j < i ? i : n + i][j] = r.a[i][j], out[i][i] = 1;
    out.emplace_back(r.perm.begin(), r.perm.end());
    out.back().push_back(r.sign);
    return out;
}

// With the wide kernels and the baseline ones, every product kernel, and 1,
// 2 and 3 threads (every parallel section split, however small).
TEST(BitIdentityTest, AllEliminationsMatchTheScalarVersions) {
    std::mt19937_64 gen(2024);
    for (int n : {1, 2, 3, 5, 8, 33, 64, 65, 97, 130, 200}) {
        for (int variant = 0; variant < 4; ++variant) {
            const bool integers = variant & 1, baseline = variant & 2;
            const Rows src = oracle::RandomRows(n, n, gen, integers), b = oracle::RandomRows(n, 1, gen, integers);
            const auto lu = oracle::Lu(src);
            const auto inv = oracle::GaussJordan(src);
            const auto x = oracle::SolveGauss(src, b);
            const double det = oracle::Determinant(src);
            Rows spd = Multiply(src, Transposed(src));  // positive definite
            for (int i = 0; i < n; ++i) spd[i][i] += n;
            const Rows chol = oracle::Cholesky(spd);
            linsys::UseBaselineKernels(baseline);
            ForEachThreadCountAndProductKernel([&](int threads, int kx) {
                SCOPED_TRACE(::testing::Message() << "n=" << n << " variant=" << variant
                                                  << " threads=" << threads << " kernel=" << kx);
                const MatrixPtr a = MakeMatrix(src);
                if (lu) EXPECT_TRUE(SameRows(LuRows(src), LuRowsOf(*lu)));
                else EXPECT_MATRIX_ERROR(a->LU(), 13, 1127);
                EXPECT_TRUE(SameBits(a->Determinant(), det));
                if (inv) {
                    EXPECT_TRUE(SameRows(Inv(src), *inv));
                    EXPECT_TRUE(SameRows(Sol(src, b), Multiply(*inv, b)));  // summed as Times does
                } else {
                    EXPECT_MATRIX_ERROR(a->Inverse(), 6, 1108);
                }
                if (x) EXPECT_TRUE(SameRows(Gauss(src, b), *x));
                else EXPECT_MATRIX_ERROR(a->SolveGauss(MakeMatrix(b)), 10, 1118);
                EXPECT_TRUE(integers || SameRows(Chol(spd), chol));
            }, baseline ? 1 : -1);
        }
    }
    linsys::UseBaselineKernels(false);
    const Rows nanColumn{{3, 1, 1}, {1, NAN, 4}, {2, NAN, 5}};  // keeps the previous column's pivot row
    EXPECT_TRUE(SameRows(LuRows(nanColumn), LuRowsOf(*oracle::Lu(nanColumn))));
    // The same with rows long enough for the vector row scaling, which the
    // column-ordered run repeats: a NaN is passed over there as well,
    // without an invalid-operation fault.
    Rows nanColumn6 = oracle::RandomRows(6, 6, gen);
    for (int i = 0; i < 6; ++i) nanColumn6[i][0] = 6.0 - i, nanColumn6[i][1] = i == 0 ? 1 : NAN;
    const auto nanLu = oracle::Lu(nanColumn6);
    ASSERT_TRUE(nanLu);
    EXPECT_TRUE(SameRows(LuRows(nanColumn6), LuRowsOf(*nanLu)));
}

// A fault deep in a later panel, and a cancel there: the same events,
// the same error or result, at every thread count and with every kernel.
// The faulting column lies right of the panel (its steps are applied
// there all at once) or within it (they run one at a time).
TEST(BitIdentityTest, FaultsAndCancelsHappenAtTheSameStepOnEveryThread) {
    for (const int faultColumn : {150, 110}) {
        SCOPED_TRACE(faultColumn);
        const int n = 400, step = 100;  // the inversion factors its panels in halves
        std::mt19937_64 gen(5);
        std::uniform_real_distribution<double> dist(-1.0, 1.0);
        Rows src = FillRows(n, n, [&] { return dist(gen) / n; });
        for (int i = 0; i < n; ++i) src[i][i] += 1.0;
        // Step 100 subtracts 0.5 * 1.7e308 from -1.7e308 in row 120.
        src[120][step] = 0.5;
        src[step][faultColumn] = 1.7e308;
        src[120][faultColumn] = -1.7e308;
        struct Outcome {
            std::vector<RecordedEvent> events;
            int32_t error = 0;
            Rows result;
            bool operator==(const Outcome&) const = default;
        };
        auto run = [&](const NamedOp& op, int cancelAt) {
            Outcome o;
            const MatrixPtr a = MakeMatrix(src);
            auto rec = Record(a);
            rec->onProgress = [cancelAt](int index, bool& cancel) { cancel = index == cancelAt; };
            try {
                o.result = op.run(a);
            } catch (const Error& e) {
                o.error = e.Number();
            }
            o.events = rec->events;
            return o;
        };
        for (const NamedOp* op : kOps) {
            for (int cancelAt : {-1, 70}) {
                const Outcome one = run(*op, cancelAt);
                if (op != &kLu && op != &kChol) {  // these four meet the overflow at the step itself
                    EXPECT_EQ(one.events.size(), cancelAt < 0 ? size_t{step} : size_t{71}) << op->progress;
                    EXPECT_EQ(one.error, cancelAt < 0 ? static_cast<int32_t>(RuntimeError::Overflow) : 0);
                }
                ForEachThreadCountAndProductKernel([&](int threads, int kx) {
                    EXPECT_TRUE(run(*op, cancelAt) == one) << op->progress << " " << threads << " " << kx;
                });
            }
        }
    }
}

// Sizes on both sides of the widths the blocked forms work in (LU: leaves
// of 8 columns, panels of 48; Cholesky: sub-blocks of 8, blocks of 64),
// with the wide kernels and the baseline ones, at every thread count.
TEST(BitIdentityTest, LuAndCholeskyAroundTheirBlockWidths) {
    std::mt19937_64 gen(48);
    for (int n : {7, 9, 16, 17, 47, 48, 49, 63, 64, 65, 72, 95, 96, 97, 129, 145}) {
        const Rows src = oracle::RandomRows(n, n, gen);
        const auto lu = oracle::Lu(src);
        ASSERT_TRUE(lu);
        Rows spd = Multiply(src, Transposed(src));
        for (int i = 0; i < n; ++i) spd[i][i] += n;
        const Rows chol = oracle::Cholesky(spd);
        for (const bool baseline : {false, true}) {
            linsys::UseBaselineKernels(baseline);
            ForEachThreadCountAndProductKernel([&](int threads, int kx) {
                SCOPED_TRACE(::testing::Message() << "n=" << n << " baseline=" << baseline
                                                  << " threads=" << threads << " kernel=" << kx);
                EXPECT_TRUE(SameRows(LuRows(src), LuRowsOf(*lu)));
                EXPECT_TRUE(SameRows(Chol(spd), chol));
            }, baseline ? 1 : -1);
        }
    }
    linsys::UseBaselineKernels(false);
}

// An overflow planted where step k's product reaches element (r, c): the
// column-ordered run meets it while forming column c, so the events of
// columns 0 .. c-1 come first, then the fault, wherever the blocked form
// computes that product (the same leaf, above or below the diagonal, another
// leaf of the panel, the panel's rows of a later column, the trailing block).
TEST(BitIdentityTest, LuFaultsInsideAPanelComeAtTheirColumn) {
    const int n = 100;
    struct Place { int k, c, r; };
    for (const Place& p : {Place{1, 3, 5}, Place{1, 6, 4}, Place{2, 13, 30}, Place{3, 20, 10},
                           Place{3, 60, 10}, Place{5, 60, 50}, Place{5, 60, 70}, Place{50, 53, 52}}) {
        Rows a = Identity(n);
        a[p.k][p.k] = 2, a[p.k][p.c] = 1.7e308, a[p.r][p.k] = 1.9, a[p.r][p.c] = -1.7e308;
        for (const bool baseline : {false, true}) {
            linsys::UseBaselineKernels(baseline);
            ForEachThreadCountAndProductKernel([&](int threads, int kx) {
                SCOPED_TRACE(::testing::Message() << "k=" << p.k << " c=" << p.c << " r=" << p.r
                                                  << " baseline=" << baseline << " threads=" << threads
                                                  << " kernel=" << kx);
                auto m = MakeMatrix(a);
                auto rec = Record(m);
                EXPECT_RUNTIME_ERROR(RunLu(m), RuntimeError::Overflow);
                ASSERT_EQ(rec->events.size(), static_cast<size_t>(p.c));
                EXPECT_EQ(rec->events.back(), (RecordedEvent{"OnProgress", "LU", 100.0f * p.c / n}));
            }, baseline ? 1 : -1);
        }
    }
    linsys::UseBaselineKernels(false);
}

// Cholesky: a sum that overflows in column j (the square of c(j, 0)) or a
// quotient that overflows (a tiny pivot), from the sums of a block, of a
// sub-block, within a sub-block, and in the wide division: the events of
// the columns before, then the fault.
TEST(BitIdentityTest, CholeskyFaultsComeAtTheirColumn) {
    const int n = 140;
    struct Place { int column, row; double pivot; };  // row > 0: A(0, row) = 1e200
    for (const Place& p : {Place{5, 5, 1.0}, Place{20, 20, 1.0}, Place{70, 70, 1.0}, Place{0, 37, 1e-300},
                           Place{0, 130, 1e-300}}) {
        Rows a = Identity(n);
        a[0][0] = p.pivot;
        a[0][p.row] = a[p.row][0] = 1e200;
        for (const bool baseline : {false, true}) {
            linsys::UseBaselineKernels(baseline);
            ForEachThreadCountAndProductKernel([&](int threads, int kx) {
                SCOPED_TRACE(::testing::Message() << "column=" << p.column << " row=" << p.row
                                                  << " baseline=" << baseline << " threads=" << threads
                                                  << " kernel=" << kx);
                auto m = MakeMatrix(a);
                auto rec = Record(m);
                EXPECT_RUNTIME_ERROR(RunChol(m), RuntimeError::Overflow);
                EXPECT_EQ(rec->events.size(), static_cast<size_t>(p.column));
            }, baseline ? 1 : -1);
        }
    }
    linsys::UseBaselineKernels(false);
}

// A zero column inside a panel (within the first half of the inversion's
// panel, which is factored in halves): the eliminations stop at that step,
// after the events of the steps before it, at every thread count.
TEST(BitIdentityTest, NoPivotInsideAPanel) {
    const int n = 400, column = 70;  // the inversion factors its panels in halves
    std::mt19937_64 gen(8);
    Rows src = oracle::RandomRows(n, n, gen);
    for (auto& row : src) row[column] = 0.0;
    ForEachThreadCountAndProductKernel([&](int threads, int kx) {
        SCOPED_TRACE(::testing::Message() << "threads=" << threads << " kernel=" << kx);
        for (const NamedOp* op : {&kDet, &kInv, &kSol, &kGauss}) {
            const MatrixPtr a = MakeMatrix(src);
            auto rec = Record(a);
            Rows result;
            int32_t error = 0;
            try {
                result = op->run(a);
            } catch (const Error& e) {
                error = e.Number();
            }
            EXPECT_EQ(rec->events.size(), size_t{column}) << op->progress;
            if (op == &kDet) EXPECT_EQ(result, (Rows{{0}}));
            else EXPECT_EQ(error, MatrixErrorNumber(op == &kInv ? 6 : 10)) << op->progress;
        }
    });
}

TEST(LinsysOutputs, LuAndCholeskyFillTheCallersObjects) {
    const Rows a = {{4, 2, 0}, {2, 3, 1}, {0, 1, 5}};
    auto m = MakeMatrix(a);
    auto l = MakeMatrix({{9, 9, 9, 9, 9}, {9, 9, 9, 9, 9}});  // resized to 3 x 3
    auto fresh = Matrix::New();  // no storage yet: given some
    m->LU(&l, &fresh);
    EXPECT_EQ(l->Rows(), 3);
    EXPECT_EQ(l->Item(0, 1), 0.0);
    EXPECT_EQ(l->Item(1, 1), 1.0);
    EXPECT_EQ(fresh->Item(1, 0), 0.0);
    auto both = Matrix::New();
    m->LU(&both, &both);  // the same object ends holding U
    EXPECT_EQ(ToRows(*both), ToRows(*fresh));
    MatrixPtr none;
    m->LU(&none, nullptr);  // empty and omitted outputs: nothing is created
    EXPECT_EQ(none, nullptr);
    auto self = m;
    m->Cholesky(&self);  // the receiver as its own output
    EXPECT_EQ(m->Item(0, 0), 2.0);
    EXPECT_EQ(m->Item(0, 1), 0.0);
}

TEST(LinsysQuality, FactorsInversesAndSolutionsOnRandomMatrices) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> dist(-1, 1);
    for (int n : {4, 17, 60}) {
        const Rows a = FillRows(n, n, [&] { return dist(gen); });
        const Rows b = FillRows(n, 1, [&] { return dist(gen); });
        const double tol = 1e-12 * n * (1 + MaxAbs(a));
        auto m = MakeMatrix(a);
        MatrixPtr l = Matrix::New(), u = Matrix::New();
        Variant perm;
        int32_t sign = 0;
        m->LU(&l, &u, &perm, &sign);
        const Rows lu = Multiply(ToRows(*l), ToRows(*u));
        double det = sign;
        for (int i = 0; i < n; ++i) {
            det *= u->Item(i, i);
            for (int k = 0; k < n; ++k) EXPECT_NEAR(lu[i][k], a[perm.At(i).ToLong()][k], tol);
        }
        EXPECT_NEAR(m->Determinant(), det, 1e-9 * std::fabs(det));
        const Rows eye = Multiply(a, ToRows(*m->Inverse()));
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < n; ++k) EXPECT_NEAR(eye[i][k], i == k ? 1.0 : 0.0, 1e3 * tol);
        for (const Rows& x : {ToRows(*m->Solve(MakeMatrix(b))), ToRows(*m->SolveGauss(MakeMatrix(b)))}) {
            const Rows r = Multiply(a, x);
            for (int i = 0; i < n; ++i) EXPECT_NEAR(r[i][0], b[i][0], 1e3 * tol);
        }
        Rows spd = Multiply(a, Transposed(a));
        for (int i = 0; i < n; ++i) spd[i][i] += n;
        MatrixPtr c = Matrix::New();
        MakeMatrix(spd)->Cholesky(&c);
        const Rows llt = Multiply(ToRows(*c), Transposed(ToRows(*c)));
        for (int i = 0; i < n; ++i)
            for (int k = 0; k < n; ++k) EXPECT_NEAR(llt[i][k], spd[i][k], tol * n);
    }
}

// Exact ties and exact zeros decide pivots and skipped rows: the events-on
// form (which keeps an initial copy and raises between columns) and the
// events-off form must agree with the plain elimination bit for bit.
TEST(EdgeClasses, EventsOnAndOffAgreeOnTiesAndZeros) {
    std::mt19937_64 gen(77);
    for (int n : {2, 3, 5, 9, 40}) {
        for (int trial = 0; trial < 3; ++trial) {
            SCOPED_TRACE(::testing::Message() << "n=" << n << " trial=" << trial);
            const Rows src = oracle::RandomRows(n, n, gen, true), b = oracle::RandomRows(n, 1, gen, true);
            for (const bool events : {false, true}) {
                const MatrixPtr a = MakeMatrix(src);
                if (events) Record(a);
                const auto lu = oracle::Lu(src);
                const auto inv = oracle::GaussJordan(src);
                const auto x = oracle::SolveGauss(src, b);
                EXPECT_TRUE(!lu || SameRows(LuRows(src, events), LuRowsOf(*lu))) << events;
                EXPECT_TRUE(SameBits(a->Determinant(), oracle::Determinant(src))) << events;
                EXPECT_TRUE(!inv || SameRows(ToRows(*a->Inverse()), *inv)) << events;
                EXPECT_TRUE(!x || SameRows(ToRows(*a->SolveGauss(MakeMatrix(b))), *x)) << events;
            }
        }
    }
}

// Exact zero tests: a pivot that is tiny but not zero is kept as it is, and
// a row whose entry is exactly 0.0 is skipped even when the pivot row holds
// an infinity (0 * inf would be an invalid operation).
TEST(EdgeClasses, TinyPivotsAndExactZeros) {
    for (const bool events : {false, true}) {
        auto run = [events](const Rows& a, auto op) {
            const MatrixPtr m = MakeMatrix(a);
            if (events) Record(m);
            return op(m);
        };
        EXPECT_EQ(run({{1e-30}}, kLu.run), (Rows{{1e-30}})) << events;  // not the 1e-20 of a zero pivot
        EXPECT_EQ(run({{1e-310, 0}, {0, 1}}, [](auto& m) { return Rows{{m->Determinant()}}; }), (Rows{{1e-310}}));
        EXPECT_EQ(run({{0, 0}, {0, 1}}, [](auto& m) { return Rows{{m->Determinant()}}; }), (Rows{{0}}));
        const Rows eye{{1, 0}, {0, 1}};
        EXPECT_EQ(run(eye, [](auto& m) { return ToRows(*m->SolveGauss(MakeMatrix({{1}, {kInf}}))); }),
                  (Rows{{1}, {kInf}})) << events;
        EXPECT_EQ(run(eye, [](auto& m) { return ToRows(*m->SolveGauss(MakeMatrix({{kInf}, {1}}))); }),
                  (Rows{{kInf}, {1}})) << events;
        EXPECT_EQ(run({{1e-310, 0}, {0, 4}}, [](auto& m) { return Rows{{m->Determinant()}}; }), (Rows{{4e-310}}));
        // A radicand of exactly zero is not positive.
        EXPECT_MATRIX_ERROR(run({{0, 0}, {0, 1}}, kChol.run), 14, 1128);
        EXPECT_EQ(run({{1e-300}}, kChol.run), (Rows{{1e-150}})) << events;
    }
    // The same zero radicand where a handler has shrunk the receiver and
    // every read is checked: the failure empties the output.
    auto a = MakeMatrix({{4, 2, 2}, {2, 5, 3}, {2, 3, 6}});
    Record(a)->onProgress = [&a](int index, bool&) {
        if (index == 0) a->Size(2, 2), a->SetItem(1, 1, 1);  // 1 - c(1, 0)^2 = 0
    };
    MatrixPtr l = MakeMatrix({{7}});
    EXPECT_MATRIX_ERROR(a->Cholesky(&l), 14, 1128);
    EXPECT_EQ(l, nullptr);
}

// A handler that shrinks the receiver in one dimension or both: every
// operation either finishes from its private copy or raises the subscript
// error; the receiver keeps the handler's dimensions.
TEST(EdgeClasses, HandlersShrinkingEachDimension) {
    const Rows spd{{4, 2, 2}, {2, 5, 3}, {2, 3, 6}};
    const std::pair<void (*)(Matrix&), std::pair<int, int>> shrinks[] = {
        {[](Matrix& m) { m.SetRows(2); }, {2, 3}},
        {[](Matrix& m) { m.SetCols(2); }, {3, 2}},
        {[](Matrix& m) { m.Size(2, 2); }, {2, 2}},
        {[](Matrix& m) { m.SetAsArray(DoubleArray::Create2D(2, -1)); }, {3, 0}},
    };
    for (const NamedOp* op : kOps)
        for (const auto& [shrink, dims] : shrinks) {
            auto a = MakeMatrix(spd);
            auto rec = Record(a);
            rec->onProgress = [&a, shrink = shrink](int index, bool&) { if (index == 0) shrink(*a); };
            try {
                op->run(a);
            } catch (const Error& e) {
                // Cholesky reads the receiver as it goes: the zeros a
                // shrink leaves make it not positive definite.
                EXPECT_TRUE(e.Number() == static_cast<int32_t>(RuntimeError::SubscriptOutOfRange) ||
                            (op == &kChol && e.Number() == MatrixErrorNumber(14)))
                    << op->done << ": " << e.Description();
            }
            EXPECT_EQ(a->Rows(), dims.first) << op->done;
            EXPECT_EQ(a->Cols(), dims.second) << op->done;
        }
}

// Cholesky reads the receiver as it goes: a handler's change to an element
// above the diagonal of a later column, within the same block of columns,
// is what that column meets (an asymmetric pair, or the new value of a pair).
TEST(EdgeClasses, CholeskyMeetsAHandlersChanges) {
    const int n = 40;
    Rows spd = FillRows(n, n, [] { return 0.0; });
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j) spd[i][j] = spd[j][i] = i == j ? n : 1.0 / (1 + i + j);
    for (const bool bothHalves : {false, true}) {
        SCOPED_TRACE(bothHalves);
        Rows changed = spd;
        changed[5][30] = 0.25;
        if (bothHalves) changed[30][5] = 0.25;
        auto a = MakeMatrix(spd);
        auto rec = Record(a);
        rec->onProgress = [&](int index, bool&) {
            if (index != 2) return;
            a->SetItem(5, 30, 0.25);
            if (bothHalves) a->SetItem(30, 5, 0.25);
        };
        if (bothHalves) {
            EXPECT_TRUE(SameRows(RunChol(a), oracle::Cholesky(changed)));
        } else {
            EXPECT_MATRIX_ERROR(RunChol(a), 14, 1128);
            EXPECT_EQ(rec->events.size(), 5u);  // columns 0 to 4; column 5 meets the pair
        }
    }
}

// The pivot search against the plain scan in row order, on columns with
// ties, signed zeros, infinities and NaNs at every position and length
// (the search keeps several running maxima), without raising a flag.
TEST(BitIdentityTest, PivotSearchMatchesTheScanInRowOrder) {
    const double kNan = NAN;
    const std::vector<double> values{0.0, -0.0, 1.0, -1.0, 2.0, -2.0, kInf, -kInf, kNan, 1e-310};
    std::mt19937_64 gen(3);
    std::uniform_int_distribution<size_t> pick(0, values.size() - 1);
    auto scan = [](const std::vector<double>& c, size_t first, bool last, double& big) {
        size_t p = first;
        big = 0;
        for (size_t i = first; i < c.size(); ++i) {
            const double v = std::fabs(c[i]);
            if (last ? std::isgreaterequal(v, big) : std::isgreater(v, big)) p = i, big = v;
        }
        return p;
    };
    for (size_t n = 1; n <= 12; ++n) {
        for (int trial = 0; trial < 200; ++trial) {
            std::vector<double> column(n);
            for (double& v : column) v = values[pick(gen)];
            if (trial % 3 == 0) std::fill(column.begin(), column.end(), kNan);
            for (size_t first = 0; first < n; ++first) {
                double bigLast = -1, bigFirst = -1, wantLast = 0, wantFirst = 0;
                std::feclearexcept(FE_ALL_EXCEPT);
                using linsys::PivotTies;
                const size_t last = linsys::FindPivotInColumn<PivotTies::Last>(column.data(), 1, first, n, bigLast);
                const size_t firstTie =
                    linsys::FindPivotInColumn<PivotTies::First>(column.data(), 1, first, n, bigFirst);
                EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
                EXPECT_EQ(last, scan(column, first, true, wantLast)) << n << " " << first;
                EXPECT_EQ(firstTie, scan(column, first, false, wantFirst)) << n << " " << first;
                EXPECT_TRUE(SameBits(bigLast, wantLast));
                EXPECT_TRUE(SameBits(bigFirst, wantFirst));
            }
        }
    }
}

// Mostly zero matrices with both signs: the identity's columns that the
// inversion has not reached yet carry signed zeros (0 times a negative
// reciprocal is -0.0); a quiet NaN in an early column raises no fault and
// leaves no pivot for the last column; Determinant and SolveGauss leave
// many rows alone at each step. Sizes around the panel width; every
// thread count and kernel.
TEST(BitIdentityTest, SparseMatricesKeepTheSignsOfZerosAndTheSkippedRows) {
    std::mt19937_64 gen(11);
    std::uniform_int_distribution<int> entry(-3, 3), percent(0, 99);
    int negativeZeros = 0;
    std::vector<int> sizes{2, 3, 520};  // 520: the inversion's widest panels, and a part of one
    for (const std::size_t steps : {linsys::kPanelSteps, linsys::InversePanelSteps(130)}) {
        const int panel = static_cast<int>(steps);
        sizes.insert(sizes.end(), {panel - 1, panel, panel + 1, 2 * panel - 1, 2 * panel, 2 * panel + 1});
    }
    for (int n : sizes) {
        for (int variant = 0; variant < (n > 300 ? 1 : 3); ++variant) {
            Rows src = FillRows(n, n, [&] { return percent(gen) < 80 ? 0.0 : entry(gen); });
            for (int i = 0; i < n; ++i)
                if (src[i][i] == 0) src[i][i] = percent(gen) < 50 ? -1.0 : 1.0;
            if (variant == 1) src[n / 2][0] = -0.0;
            if (variant == 2) src[n - 1][1] = NAN;
            const Rows b = FillRows(n, 1, [&] { return static_cast<double>(entry(gen)); });
            const auto inv = oracle::GaussJordan(src);
            const auto x = oracle::SolveGauss(src, b);
            const double det = oracle::Determinant(src);
            if (inv)
                for (const auto& row : *inv)
                    for (double v : row) negativeZeros += v == 0 && std::signbit(v);
            ForEachThreadCountAndProductKernel([&](int threads, int kx) {
                SCOPED_TRACE(::testing::Message() << "n=" << n << " variant=" << variant
                                                  << " threads=" << threads << " kernel=" << kx);
                if (std::isfinite(det)) EXPECT_TRUE(SameBits(MakeMatrix(src)->Determinant(), det));
                else EXPECT_RUNTIME_ERROR(MakeMatrix(src)->Determinant(), RuntimeError::Overflow);  // the product
                if (x) EXPECT_TRUE(SameRows(Gauss(src, b), *x));
                else EXPECT_MATRIX_ERROR(MakeMatrix(src)->SolveGauss(MakeMatrix(b)), 10, 1118);
                if (!inv) {
                    EXPECT_MATRIX_ERROR(MakeMatrix(src)->Inverse(), 6, 1108);
                    return;
                }
                EXPECT_TRUE(SameRows(Inv(src), *inv));
                EXPECT_TRUE(SameRows(Sol(src, b), Multiply(*inv, b)));
            });
        }
    }
    EXPECT_GT(negativeZeros, 0);  // the cases do reach signed zeros
}

// Done comes after every output is written and before the result is
// handed back; the receiver is as the operation leaves it.
TEST(EdgeClasses, WhatADoneHandlerObserves) {
    const Rows a0{{4, 2}, {2, 5}};
    auto a = MakeMatrix(a0);
    auto rec = Record(a);
    MatrixPtr l = MakeMatrix({{9}}), u = MakeMatrix({{9}});
    Variant perm;
    int32_t sign = 0;
    Rows seenL, seenU, seenA;
    std::vector<int32_t> seenPerm;
    rec->onDone = [&] {
        seenL = ToRows(*l), seenU = ToRows(*u), seenA = ToRows(*a);
        seenPerm = perm.IsArray() ? PermOf(perm) : std::vector<int32_t>{};
    };
    a->LU(&l, &u, &perm, &sign);
    EXPECT_EQ(seenL, ToRows(*l));
    EXPECT_EQ(seenU, ToRows(*u));
    EXPECT_EQ(seenPerm, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(seenA, a0);
    a->Cholesky(&l);
    EXPECT_EQ(seenL, ToRows(*l));
    EXPECT_EQ(seenL, (Rows{{2, 0}, {1, 2}}));
    seenA.clear();
    a->SolveGauss(MakeMatrix({{1}, {1}}));
    EXPECT_EQ(seenA, a0);
    const std::vector<std::string> done{"LU", "CHOLdc", "SolveGauss"};
    std::vector<std::string> names;
    for (const auto& e : rec->events)
        if (e.kind == "Done") names.push_back(e.operation);
    EXPECT_EQ(names, done);
}

}  // namespace
}  // namespace kestrim::test
