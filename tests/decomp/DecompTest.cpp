#include <algorithm>
#include <gtest/gtest.h>
#include <functional>
#include <random>

#include "ReferenceDecomp.h"
#include "core/MatrixAccess.h"
#include "decomp/ReflectorKernel.h"
#include "host/runtime/FloatingPoint.h"
#include "host/runtime/KernelMenu.h"
#include "support/DenseRows.h"
#include "support/WidthsAndThreads.h"

namespace kestrim::test {
namespace {

using reference::Grid;
constexpr int kQrError = 15, kSvdError = 16, kShapeError = 18, kQrHelp = 1131, kSvdHelp = 1132;

Grid RandomGrid(int m, int n, uint32_t seed, double range = 1.0) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-range, range);
    return FillRows(m, n, [&] { return dist(gen); });
}

bool HasStorage(const Matrix& m) { return detail::MatrixAccess::Elements(m).HasStorage(); }

// The largest element difference (NaN sticks); infinite when the shapes differ.
double MaxAbsDiff(const Grid& a, const Grid& b) {
    if (a.size() != b.size() || a[0].size() != b[0].size()) return INFINITY;
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[i].size(); ++j)
            if (!(std::fabs(a[i][j] - b[i][j]) <= d) && d == d) d = std::fabs(a[i][j] - b[i][j]);
    return d;
}

// Within 1e-15, and exact bits where the expected value is zero.
void ExpectClose(const Matrix& got, const Grid& want) {
    const Rows g = ToRows(got);
    ASSERT_LT(MaxAbsDiff(g, want), 1e-15);
    for (std::size_t i = 0; i < want.size(); ++i)
        for (std::size_t j = 0; j < want[i].size(); ++j)
            if (want[i][j] == 0) { ASSERT_TRUE(SameBits(g[i][j], want[i][j])) << i << "," << j << ": " << g[i][j]; }
}

// QR progress: factorisation 20(k+1)/n, R 20+10(i+1)/n, Q 100-70k/n (k descending).
std::vector<float> QrPercents(int n, bool withR, bool withQ) {
    std::vector<float> p;
    for (int k = 0; k < n; ++k) p.push_back(static_cast<float>(20.0 * (k + 1) / n));
    for (int i = 0; i < n && withR; ++i) p.push_back(static_cast<float>(20.0 + 10.0 * (i + 1) / n));
    for (int k = n - 1; k >= 0 && withQ; --k) p.push_back(static_cast<float>(100.0 - 70.0 * k / n));
    return p;
}

TEST(QR, WorkedExamples) {
    const struct { Grid a, q, r; } cases[] = {
        {{{3}}, {{-1}}, {{-3}}}, {{{-3}}, {{-1}}, {{3}}}, {{{0}}, {{1}}, {{-0.0}}}, {{{3}, {4}}, {{-0.6}, {-0.8}}, {{-5}}},
        {{{0, 1}, {0, 2}}, {{1, 0}, {0, -1}}, {{-0.0, 1}, {0, -2}}},  // zero column: no reflection
        {{{0, 0}, {0, 0}, {0, 0}}, {{1, 0}, {0, 1}, {0, 0}}, {{-0.0, 0}, {0, -0.0}}},
    };
    for (const auto& c : cases) {
        MatrixPtr q = Matrix::New(), r = Matrix::New();
        MakeMatrix(c.a)->QR(&q, &r);
        ExpectClose(*q, c.q);
        ExpectClose(*r, c.r);
    }
}

// The fastest reflection kernel is the one of the widest instruction set.
TEST(QR, ReflectionKernelFollowsTheProcessor) {
    const std::string chosen = detail::reflect::SelectKernel().name;
    EXPECT_EQ(chosen, KESTRIM_CPU_SUPPORTS("avx512f") ? "avx512" : KESTRIM_CPU_SUPPORTS("avx") ? "avx" : "sse2");
}

// Q and R equal the scalar computation bit for bit, with events (step order) or not (blocked), at every width
// of the column kernels and of the row-block reflection kernels, and on 1, 2 and 3 threads.
TEST(QR, MatchesScalarReferenceBitForBit) {
    const int shapes[][2] = {{2, 2}, {3, 1}, {6, 5}, {13, 6}, {31, 29}, {70, 45}, {90, 83}, {150, 40}};
    for (int kernel = 0; kernel < detail::reflect::SupportedKernelCount(); ++kernel) {
        detail::reflect::UseKernel(kernel);
        ForEachWidthAndThreadCount([&](bool, int) {
            for (bool events : {false, true}) {
                uint32_t seed = 100;
                for (const auto& s : shapes) {
                    Grid a = RandomGrid(s[0], s[1], seed++, 100);
                    // Columns with nothing to reflect, in the first block and in a later one; a -0.
                    for (std::size_t i = 0; i < a.size() && s[1] > 2; ++i) a[i][1] = 0.0;
                    for (std::size_t i = 0; i < a.size() && s[1] > 36; ++i) a[i][s[1] - 3] = 0.0;
                    a[0][s[1] - 1] = s[1] > 2 ? -0.0 : a[0][s[1] - 1];
                    const auto expected = reference::Qr(a);
                    auto m = MakeMatrix(a);
                    auto rec = events ? Record(m) : nullptr;
                    MatrixPtr q = Matrix::New(), r = Matrix::New();
                    m->QR(&q, &r);
                    EXPECT_EQ(BitDifferences(ToRows(*q), expected.q), 0) << s[0] << "x" << s[1];
                    EXPECT_EQ(BitDifferences(ToRows(*r), expected.r), 0) << s[0] << "x" << s[1];
                    EXPECT_LT(MaxAbsDiff(Multiply(ToRows(*q), ToRows(*r)), a), 1e-11);
                    if (events) { ASSERT_EQ(rec->Percents(), QrPercents(s[1], true, true)); }
                }
            }
        });
    }
    detail::reflect::UseKernel(-1);
}

TEST(QR, EventsOmittedOutputsAndCancel) {
    const Grid g = RandomGrid(5, 3, 5);
    auto a = MakeMatrix(g);
    auto rec = Record(a);
    MatrixPtr q = Matrix::New(), r = Matrix::New(), none;
    for (int mode = 0; mode < 3; ++mode) {  // no outputs, R only (empty Q), Q only
        rec->events.clear();
        a->QR(mode == 2 ? &q : mode == 1 ? &none : nullptr, mode == 1 ? &r : nullptr);
        EXPECT_EQ(rec->Percents(), QrPercents(3, mode == 1, mode == 2));
        EXPECT_EQ(rec->events.back(), (RecordedEvent{"Done", "QR", 0.0f}));
    }
    EXPECT_EQ(none, nullptr);
    // Cancelled at Q's second step (events 6-8): R is complete, Q's column 0 not formed.
    rec->events.clear();
    rec->onProgress = [&](int, bool& cancel) { cancel = rec->events.size() == 8; };
    q = Matrix::New();
    a->QR(&q, &r);
    EXPECT_EQ(rec->events.size(), 8u);
    EXPECT_EQ(BitDifferences(ToRows(*r), reference::Qr(g).r), 0);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(SameBits(q->Item(i, 0), 0.0));
    // Switched off inside a handler: nothing more, not even Done.
    rec->events.clear();
    rec->onProgress = [&](int, bool&) { a->SetFireEvents(rec->events.size() != 2); };
    a->QR(&q, &r);
    EXPECT_EQ(rec->events.size(), 2u);
}

// With events the factorisation runs a panel of columns at a time: a fault or a cancel inside a later panel still
// comes after the events of exactly the steps before it. Columns 0..39 are zero from row 40 down, so column 40's
// huge entries meet no reflection before step 40, whose norm overflows. Each kernel has its own panel width.
TEST(QR, FactorisationFaultAndCancelInsideAPanel) {
    constexpr int kRows = 60, kCols = 50, kFaultStep = 40;
    Grid a = RandomGrid(kRows, kCols, 11);
    for (int i = kFaultStep; i < kRows; ++i) {
        for (int j = 0; j < kFaultStep; ++j) a[i][j] = 0.0;
        a[i][kFaultStep] = 1e308;
    }
    Grid fine = a;
    for (int i = kFaultStep; i < kRows; ++i) fine[i][kFaultStep] = 1.0;
    const auto expected = reference::Qr(fine);
    for (int kernel = 0; kernel < detail::reflect::SupportedKernelCount(); ++kernel) {
        detail::reflect::UseKernel(kernel);
        ForEachThreadCount([&](int) {
            auto m = MakeMatrix(a), q = Matrix::New(), r = Matrix::New();
            auto rec = Record(m);
            EXPECT_MATRIX_ERROR(m->QR(&q, &r), kQrError, kQrHelp);
            std::vector<float> before = QrPercents(kCols, false, false);
            before.resize(kFaultStep);
            EXPECT_EQ(rec->Percents(), before);
            EXPECT_FALSE(HasStorage(*q));  // untouched
            // Cancelled at step 37, then completed by a run whose handler only watches.
            for (int cancelAt : {37, -1}) {
                auto ok = MakeMatrix(fine);
                auto okRec = Record(ok);
                okRec->onProgress = [&](int index, bool& cancel) { cancel = index == cancelAt; };
                q = Matrix::New(), r = Matrix::New();
                ok->QR(&q, &r);
                if (cancelAt >= 0) {
                    EXPECT_EQ(okRec->events.size(), static_cast<std::size_t>(cancelAt) + 1);
                    EXPECT_FALSE(HasStorage(*q));
                    EXPECT_FALSE(HasStorage(*r));
                } else {
                    EXPECT_EQ(okRec->Percents(), QrPercents(kCols, true, true));
                    EXPECT_EQ(BitDifferences(ToRows(*q), expected.q), 0);
                    EXPECT_EQ(BitDifferences(ToRows(*r), expected.r), 0);
                }
            }
        });
    }
    detail::reflect::UseKernel(-1);
}

TEST(QR, AliasedOutputsAndHandlerResizes) {
    const Grid g = RandomGrid(4, 4, 7);
    const auto expected = reference::Qr(g);
    auto a = MakeMatrix(g), r = Matrix::New();
    a->QR(&a, &r);
    EXPECT_TRUE(SameRows(ToRows(*a), expected.q) && SameRows(ToRows(*r), expected.r));
    // Shrinking R, emptying Q: the runtime error; growing Q: the leading block.
    const struct { int at; std::function<void(Matrix& q, Matrix& r)> change; } cases[] = {
        {4, [](Matrix&, Matrix& r) { r.Size(1, 1); }},
        {9, [](Matrix& q, Matrix&) { q.SetAsArray(DoubleArray::Create2D(-1, 2)); }},
        {9, [](Matrix& q, Matrix&) { q.SetCols(6); }}};
    for (const auto& c : cases) {
        auto m = MakeMatrix(g), q = Matrix::New(), rr = Matrix::New();
        auto rec = Record(m);
        rec->onProgress = [&](int index, bool&) { if (index == c.at) c.change(*q, *rr); };
        if (&c == &cases[2]) m->QR(&q, &rr);
        else EXPECT_MATRIX_ERROR(m->QR(&q, &rr), kQrError, kQrHelp);
        EXPECT_EQ(rec->events.size(), &c == &cases[2] ? 13u : c.at + 1u);
        for (int i = 0; i < 4 && &c == &cases[2]; ++i)
            for (int j = 0; j < 6; ++j) EXPECT_TRUE(SameBits(q->Item(i, j), j < 4 ? expected.q[i][j] : 0.0));
    }
}

// [[1,0,0],[0,1,0],[0,1,1]] has F(1,1) = 1 + 1/sqrt(2), F(2,1) = 1/sqrt(2). Values planted in Q after its first
// step make the next reflection fault in its sum (column left unwritten) or in row 2 (row 1 keeps its update).
TEST(QR, FaultInQKeepsExactlyTheStepsBeforeIt) {
    const double f11 = 1.0 + 1.0 / std::sqrt(2.0), f21 = 1.0 / std::sqrt(2.0);
    const struct { double planted1, planted2, want1, want2; } cases[] = {{-1.7e308, 0.0, -1.7e308, 0.0}, {-1e308, 1.7e308, (f11 - 1.0 - 1.7 * f21) * 1e308, INFINITY}};
    for (const auto& c : cases) {
        auto m = MakeMatrix({{1, 0, 0}, {0, 1, 0}, {0, 1, 1}}), q = Matrix::New(), r = Matrix::New();
        auto rec = Record(m);
        rec->onProgress = [&](int index, bool&) {
            if (index == 6) q->SetItem(1, 2, c.planted1), q->SetItem(2, 2, c.planted2);
        };
        EXPECT_MATRIX_ERROR(m->QR(&q, &r), kQrError, kQrHelp);
        EXPECT_NEAR(q->Item(1, 2) / 1e308, c.want1 / 1e308, 1e-12);
        EXPECT_EQ(q->Item(2, 2), c.want2);
        EXPECT_NEAR(q->Item(1, 1), 1.0 - f11, 1e-15);  // column 1 was completed first
        EXPECT_NEAR(q->Item(2, 1), -f21, 1e-15);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(q->Item(i, 0), 0.0);  // step 0 never runs
    }
}

TEST(SVD, WorkedExamples) {
    const struct { double a, u, s, v; } ones[] = {{3, -1, 3, -1}, {-3, -1, 3, 1}, {0, 1, 0, 1}};
    for (const auto& c : ones) {
        auto a = MakeMatrix({{c.a}});
        auto rec = Record(a);
        MatrixPtr u = Matrix::New(), s = Matrix::New(), v = Matrix::New();
        a->SVD(&u, &s, &v);
        EXPECT_EQ((Rows{ToRows(*u)[0], ToRows(*s)[0], ToRows(*v)[0]}), (Rows{{c.u}, {c.s}, {c.v}})) << c.a;
        EXPECT_EQ(rec->Percents(), (std::vector<float>{34, 35, 35, 53}));
        EXPECT_EQ(rec->events.back(), (RecordedEvent{"Done", "SVD", 0.0f}));
    }
    const struct { Grid a; std::vector<double> w; } known[] = {{{{1, 2}, {3, 4}}, {0.36597, 5.46499}},
                                                                {{{1, 2, 3}, {4, 5, 6}}, {9.50803, 0.77287, 0}}};
    for (const auto& k : known) {
        MatrixPtr u = Matrix::New(), s = Matrix::New(), v = Matrix::New();
        MakeMatrix(k.a)->SVD(&u, &s, &v);
        EXPECT_EQ(u->Cols(), v->Rows());  // a wide U gets zero columns
        for (std::size_t i = 0; i < k.w.size(); ++i) EXPECT_NEAR(s->Item(i, i), k.w[i], 1e-5);
    }
}

// U, W, V equal the scalar computation bit for bit, for any wanted outputs, with or without events, at every width.
TEST(SVD, MatchesScalarReferenceBitForBit) {
    const int shapes[][2] = {{3, 1}, {1, 3}, {7, 5}, {5, 7}, {17, 11}, {37, 61}};
    std::vector<Grid> inputs;
    for (const auto& sh : shapes) inputs.push_back(RandomGrid(sh[0], sh[1], sh[0] + sh[1], 10));
    inputs.push_back(Multiply(RandomGrid(30, 6, 1), RandomGrid(6, 25, 2)));  // rank 6
    inputs.push_back(RandomGrid(12, 9, 5));
    for (auto& row : inputs.back()) row[0] = row[4] = 0.0;
    ForEachWidthAndThreadCount([&](bool wide, int threads) {
        for (const Grid& a : inputs) {
            for (int mode = 0; mode < 8; ++mode) {
                // Several threads: every output wanted, with and without events.
                if (threads != 1 && mode != 3 && mode != 7) continue;
                const bool wantU = mode & 1, wantV = mode & 2, events = mode & 4;
                const auto expected = reference::Svd(a, wantU, wantV);
                auto m = MakeMatrix(a);
                auto rec = events ? Record(m) : nullptr;
                MatrixPtr u = wantU ? Matrix::New() : nullptr, v = wantV ? Matrix::New() : nullptr, s = Matrix::New();
                m->SVD(&u, &s, &v);
                SCOPED_TRACE(testing::Message() << a.size() << "x" << a[0].size() << " mode " << mode << " wide " << wide
                                                 << " threads " << threads);
                for (std::size_t i = 0; i < expected.w.size(); ++i) EXPECT_TRUE(SameBits(s->Item(i, i), expected.w[i]));
                if (wantU) { EXPECT_EQ(BitDifferences(ToRows(*u), expected.u), 0); }
                if (wantV) { EXPECT_EQ(BitDifferences(ToRows(*v), expected.v), 0); }
                if (mode != 3) continue;
                EXPECT_LT(MaxAbsDiff(Multiply(Multiply(ToRows(*u), ToRows(*s)), Transposed(ToRows(*v))), a), 1e-12);
            }
        }
    });
}

// Large enough for every stage to split its work among threads: each
// thread count and kernel width gives the bits of one thread.
TEST(SVD, EveryThreadCountGivesTheSameBits) {
    for (const Grid& a : {RandomGrid(97, 83, 3), RandomGrid(83, 97, 4)}) {
        std::vector<Rows> first;
        ForEachWidthAndThreadCount([&](bool wide, int threads) {
            MatrixPtr u = Matrix::New(), s = Matrix::New(), v = Matrix::New();
            MakeMatrix(a)->SVD(&u, &s, &v);
            const std::vector<Rows> got{ToRows(*u), ToRows(*s), ToRows(*v)};
            if (first.empty()) first = got;
            for (std::size_t k = 0; k < got.size(); ++k)
                EXPECT_EQ(BitDifferences(got[k], first[k]), 0) << "output " << k << " wide " << wide << " threads " << threads;
        });
    }
}

// A cancel delivers the arrays as the computation had left them at that
// event (each phase, and sweeps with rotations still recorded), then Done.
TEST(SVD, CancelDeliversTheArraysAsTheyStand) {
    const Grid a = RandomGrid(12, 9, 10);
    // Events: 9 in the reduction, 1 for V, 9 for U, 9 in the sweeps.
    for (int cancelAt : {1, 5, 10, 11, 19, 20, 24, 28}) {
        SCOPED_TRACE(cancelAt);
        const auto want = reference::Svd(a, true, true, cancelAt);
        auto m = MakeMatrix(a);
        auto rec = Record(m);
        rec->onProgress = [&](int i, bool& cancel) { cancel = i + 1 == cancelAt; };
        MatrixPtr u = MakeMatrix({{0, 42}}), s = Matrix::New(), v = Matrix::New();
        m->SVD(&u, &s, &v);
        ASSERT_EQ(rec->events.size(), cancelAt + 1u);
        EXPECT_EQ(rec->events.back().kind, "Done");
        EXPECT_EQ(BitDifferences(ToRows(*u), want.u), 0);
        EXPECT_EQ(BitDifferences(ToRows(*v), want.v), 0);
        for (int i = 0; i < 9; ++i) EXPECT_TRUE(SameBits(s->Item(i, i), want.w[i])) << i;
    }
}

// Failures raise the operation's error before delivering anything, and no Done.
// Exact zeros (a column already reduced, a leading zero that decides the
// reflection's sign), ties and subnormal scales: the same bits as the
// scalar reference, with events off and on; Done only while events are on.
TEST(Decomp, ExactZerosTiesAndTinyScalesMatchTheReference) {
    const Grid inputs[] = {
        {{0, 1}, {1, 0}},
        {{0, 2, 0}, {0, 0, 3}, {4, 0, 0}},
        {{1, 1}, {1, 1}, {1, 1}},
        {{0, 0}, {0, 0}},
        {{-1, 2}, {1, -2}, {0, 0}},
        {{1e-310, 2e-310}, {3e-310, 0}},
        {{1e-302, 1}, {2e-302, 1}, {0, 3}},  // a tiny column still takes its reflection
        {{3, 1e-302}, {1, -2e-302}},
    };
    for (const Grid& a : inputs)
        for (const bool events : {false, true}) {
            SCOPED_TRACE(testing::Message() << a.size() << "x" << a[0].size() << " " << a[0][0] << " events " << events);
            auto m = MakeMatrix(a);
            auto rec = Record(m);
            m->SetFireEvents(events);
            const auto qr = reference::Qr(a);
            MatrixPtr q = Matrix::New(), r = Matrix::New();
            m->QR(&q, &r);
            EXPECT_EQ(BitDifferences(ToRows(*q), qr.q), 0);
            EXPECT_EQ(BitDifferences(ToRows(*r), qr.r), 0);
            const auto svd = reference::Svd(a, true, true);
            MatrixPtr u = Matrix::New(), w = Matrix::New(), v = Matrix::New();
            if (svd.failure != 0) {  // the sweeps give up on the subnormal scale
                EXPECT_MATRIX_ERROR(m->SVD(&u, &w, &v), kSvdError, kSvdHelp);
                continue;
            }
            m->SVD(&u, &w, &v);
            for (std::size_t i = 0; i < svd.w.size(); ++i) EXPECT_TRUE(SameBits(w->Item(i, i), svd.w[i])) << i;
            EXPECT_EQ(BitDifferences(ToRows(*u), svd.u), 0);
            EXPECT_EQ(BitDifferences(ToRows(*v), svd.v), 0);
            const auto dones = std::count_if(rec->events.begin(), rec->events.end(),
                                             [](const RecordedEvent& e) { return e.kind == "Done"; });
            EXPECT_EQ(dones, events ? 2 : 0);  // QR and SVD
            EXPECT_EQ(rec->events.empty(), !events);
        }
}

TEST(Decomp, ErrorsDeliverNothing) {
    auto wide = Matrix::New(), emptied = MakeMatrix({{1, 2}});
    wide->SetCols(3);  // no storage, but too few rows is checked first
    emptied->SetAsArray(DoubleArray::Create2D(-1, 1));
    const Grid stuck = {{0, 0}, {3, 2}, {-2, 3}};  // the shifted sweeps never converge
    ASSERT_EQ(reference::Svd(stuck).failure, 1);
    const struct { bool qr; MatrixPtr a; int code; } cases[] = {{true, MakeMatrix({{1, 2, 3}, {4, 5, 6}}), kShapeError},
        {true, wide, kShapeError}, {true, Matrix::New(), kQrError}, {true, MakeMatrix({{1.5e308}, {1.5e308}}), kQrError},
        {true, MakeMatrix({{1, NAN}, {2, 3}}), kQrError}, {true, MakeMatrix({{INFINITY, 1}, {2, 3}}), kQrError},
        {false, MakeMatrix({{1e308, 1e308}, {1e308, 1e308}}), kSvdError}, {false, MakeMatrix({{1, NAN}, {2, 3}}), kSvdError},
        {false, MakeMatrix({{INFINITY, 1}, {0, 1}}), kSvdError}, {false, Matrix::New(), kSvdError},
        {false, emptied, kSvdError}, {false, MakeMatrix(stuck), kSvdError}};
    for (const auto& c : cases) {
        auto rec = Record(c.a);
        MatrixPtr u = MakeMatrix({{0, 7}}), s = Matrix::New(), v = Matrix::New();
        if (c.qr) EXPECT_MATRIX_ERROR(c.a->QR(&u, &s), c.code, kQrHelp);
        else EXPECT_MATRIX_ERROR(c.a->SVD(&u, &s, &v), c.code, kSvdHelp);
        EXPECT_EQ(ToRows(*u), (Rows{{0, 7}}));
        EXPECT_FALSE(HasStorage(*s) || HasStorage(*v));
        for (const auto& e : rec->events) EXPECT_TRUE(e.kind != "Done" && c.code != kShapeError) << e;
        if (&c == &cases[11]) { EXPECT_EQ(rec->Percents(), (std::vector<float>{17, 34, 35, 35, 44})); }
    }
}

TEST(Decomp, NumericHelpersTiesSignsAndFaultOrder) {
    fp::FpScope scope;
    EXPECT_TRUE(SameBits(detail::Pythag(-2, 2), 2.0 * std::sqrt(2.0)));  // equal magnitudes: |b| sqrt(2)
    EXPECT_TRUE(SameBits(detail::Pythag(-0.0, -0.0), 0.0));
    EXPECT_NEAR(detail::Pythag(1e308, 1e308) / 1e308, std::sqrt(2.0), 1e-15);  // no intermediate overflow
    EXPECT_EQ(detail::SignOf(-5, -0.0), 5.0);
    EXPECT_TRUE(SameBits(detail::MaxDouble(-0.0, 0.0), -0.0));  // ties keep the first argument
    EXPECT_FALSE(fp::HasFault());
    volatile double zero = 0.0, one = 1.0;  // not folded at compile time
    double cr = 0, ci = 0;
    EXPECT_RUNTIME_ERROR(detail::ComplexDivideChecked(one, zero, zero, zero, cr, ci), RuntimeError::DivisionByZero);
    fp::ClearFlags();  // 0/0 comes first: invalid operation (reported as overflow), although 1/0 follows
    EXPECT_RUNTIME_ERROR(detail::ComplexDivideChecked(zero, one, zero, zero, cr, ci), RuntimeError::Overflow);
}

// A = H1 · diag(s) · H2 with reflections H = I - 2vvᵀ/vᵀv has singular values s.
TEST(SVD, SingularValuesAgreeWithAKnownConstruction) {
    const std::vector<double> s = {7.5, 3.0, 2.0, 0.25, 0.0};
    const auto reflection = [](std::size_t n, uint32_t seed) {
        const Grid v = RandomGrid(static_cast<int>(n), 1, seed);
        double vv = 0;
        for (const auto& x : v) vv += x[0] * x[0];
        Rows h = Identity(n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) h[i][j] -= 2 * v[i][0] * v[j][0] / vv;
        return h;
    };
    Rows d(7, std::vector<double>(5, 0.0));
    for (std::size_t i = 0; i < s.size(); ++i) d[i][i] = s[i];
    const Rows a = Multiply(Multiply(reflection(7, 1), d), reflection(5, 2));
    auto sOut = Matrix::New();
    MakeMatrix(a)->SVD(nullptr, &sOut, nullptr);
    std::vector<double> got;
    for (int i = 0; i < 5; ++i) got.push_back(sOut->Item(i, i));
    std::sort(got.begin(), got.end(), std::greater<>());
    for (std::size_t i = 0; i < s.size(); ++i) {
        EXPECT_GE(got[i], 0.0);
        EXPECT_NEAR(got[i], s[i], 1e-13);
    }
}

}  // namespace
}  // namespace kestrim::test
