// Times and the packed product kernels.
#include <cfenv>

#include "host/runtime/KernelMenu.h"
#include "ops/OpsTestUtil.h"
#include "support/ProductKernels.h"

namespace kestrim::test {
namespace {

namespace product = detail::product;

// Partial tiles in every dimension; sums longer than one packed block of
// steps (every kernel packs at most 512), ending in a partial block.
const std::tuple<int32_t, int32_t, int32_t> kShapes[] = {
    {1, 1, 1}, {7, 7, 7}, {33, 33, 33}, {130, 33, 7}, {7, 130, 33}, {1, 257, 1}, {200, 3, 301}, {193, 17, 2},
    {101, 530, 19}, {27, 1100, 13}};

// One kernel over all rows of a x b, with the column-major layouts Times uses.
Rows KernelProduct(const product::Kernel& kernel, const Rows& a, const Rows& b) {
    const auto m = static_cast<int32_t>(a.size()), n = static_cast<int32_t>(b.size()), q = static_cast<int32_t>(b[0].size());
    std::vector<double> acol, bcol, c(a.size() * q), packed(b.size() * q), work(kernel.workSize);
    for (int32_t k = 0; k < n; ++k)
        for (int32_t i = 0; i < m; ++i) acol.push_back(a[i][k]);
    for (int32_t j = 0; j < q; ++j)
        for (int32_t k = 0; k < n; ++k) bcol.push_back(b[k][j]);
    kernel.packB(bcol.data(), n, n, q, packed.data());
    kernel.multiplyRows(acol.data(), m, 0, m, n, packed.data(), q, c.data(), m, work.data());
    Rows out(m, std::vector<double>(q));
    for (std::size_t t = 0; t < c.size(); ++t) out[t % m][t / m] = c[t];
    return out;
}

// The packed layout that callers index directly (Times' fault replay, LU's
// own packing): panel p of nr columns at p * nr * n, k-major. Column stride
// above n, step counts around multiples of 8, a partial last panel.
TEST(Times, PackedRightOperandLayout) {
    for (int kx = 0; kx < product::SupportedKernelCount(); ++kx) {
        const product::Kernel& kernel = product::SupportedKernel(kx);
        for (const int32_t n : {1, 7, 8, 9, 16, 23}) {
            const int32_t q = 2 * kernel.nr + 3;
            const std::size_t ldb = static_cast<std::size_t>(n) + 5;
            std::vector<double> b(ldb * q), packed(static_cast<std::size_t>(n) * q, -1.0);
            for (std::size_t t = 0; t < b.size(); ++t) b[t] = static_cast<double>(t);
            kernel.packB(b.data(), ldb, n, q, packed.data());
            int wrong = 0;
            for (int32_t j = 0; j < q; ++j)
                for (int32_t k = 0; k < n; ++k) {
                    const int32_t j0 = j / kernel.nr * kernel.nr, w = std::min(kernel.nr, q - j0);
                    const std::size_t at = static_cast<std::size_t>(j0) * n + static_cast<std::size_t>(k) * w + (j - j0);
                    wrong += packed[at] != b[static_cast<std::size_t>(j) * ldb + k];
                }
            EXPECT_EQ(wrong, 0) << kernel.name << " n=" << n;
        }
    }
}

// The fastest product kernel is the one of the widest instruction set.
TEST(Times, ProductKernelFollowsTheProcessor) {
    const std::string chosen = product::SelectKernel().name;
    EXPECT_EQ(chosen, KESTRIM_CPU_SUPPORTS("avx512f") ? "avx512" : KESTRIM_CPU_SUPPORTS("avx2") ? "avx2" : "sse2");
}

TEST(Times, EveryKernelAndTimesMatchThePlainLoop) {
    for (const auto& shape : kShapes) {
        // Named copies: clang 14 cannot capture structured bindings in lambdas.
        const int32_t m = std::get<0>(shape), n = std::get<1>(shape), q = std::get<2>(shape);
        const Rows a = RandomRows(m, n, 11u + m), b = RandomRows(n, q, 17u + q), want = Multiply(a, b);
        for (int kx = 0; kx < product::SupportedKernelCount(); ++kx)
            EXPECT_EQ(BitDifferences(KernelProduct(product::SupportedKernel(kx), a, b), want), 0) << kx << " " << m << n;
        ForEachThreadCountAndProductKernel([&](int threads, int) {
            auto ma = MakeMatrix(a), mb = MakeMatrix(b);
            EXPECT_EQ(BitDifferences(ToRows(*ma->Times(mb)), want), 0) << m << "x" << n << "x" << q << " " << threads;
            auto rec = Record(ma);
            MatrixPtr c = ma->Times(mb);
            EXPECT_TRUE(BitDifferences(ToRows(*c), want) == 0 && !c->FireEvents()) << m << "x" << n << "x" << q;
            EXPECT_EQ(rec->events.size(), static_cast<std::size_t>(m) + 1);
        });
    }
    // Infinities next to partial tiles: lanes outside the result (0 * inf) must not run.
    Rows p(27, std::vector<double>(5, 1.5)), r(5, std::vector<double>(11, 0.5));
    for (int32_t k = 0; k < 5; ++k) p[26][k] = r[k][10] = kInf;
    for (int kx = 0; kx < product::SupportedKernelCount(); ++kx) {
        std::feclearexcept(FE_ALL_EXCEPT);
        EXPECT_EQ(BitDifferences(KernelProduct(product::SupportedKernel(kx), p, r), Multiply(p, r)), 0);
        EXPECT_EQ(std::fetestexcept(FE_INVALID | FE_OVERFLOW | FE_DIVBYZERO), 0) << kx;
    }
}

TEST(Times, ExamplesErrorsEventsAndEmptyDimensions) {
    auto sq = MakeMatrix({{1, 2}, {3, 4}}), ones = MakeMatrix({{1}, {1}, {1}, {1}}), rows0 = Matrix::New();
    // The sum runs in increasing k from +0: ((1e16 + 1) + 1) - 1e16 loses both ones.
    const std::tuple<MatrixPtr, MatrixPtr, Rows> cases[] = {
        {MakeMatrix({{1, 2, 3}, {4, 5, 6}}), MakeMatrix({{1, 0, 2}, {0, 1, 1}, {1, 1, 0}}), {{4, 5, 4}, {10, 11, 13}}},
        {sq, sq, {{7, 10}, {15, 22}}},
        {MakeMatrix({{1e16, 1, 1, -1e16}}), ones, {{0}}},
        {MakeMatrix({{1, 1, 1e16, -1e16}}), ones, {{2}}},
        {MakeMatrix({{-0.0, -0.0}}), MakeMatrix({{1}, {2}}), {{0}}},
    };
    for (const auto& [a, b, want] : cases) EXPECT_EQ(BitDifferences(ToRows(*a->Times(b)), want), 0);
    EXPECT_MATRIX_ERROR(sq->Times(MakeMatrix({{1, 2}})), 7, 1114);
    EXPECT_RUNTIME_ERROR(sq->Times(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(Matrix::New()->Times(MakeMatrix({{2}})), RuntimeError::SubscriptOutOfRange);

    auto rec = Record(sq);
    sq->Times(MakeMatrix({{1}, {1}}));
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{
                               {"OnProgress", "Times", 50}, {"OnProgress", "Times", 100}, {"Done", "Times", 0}}));
    rec->onProgress = [](int, bool& cancel) { cancel = true; };
    EXPECT_EQ(sq->Times(MakeMatrix({{1}, {1}})), nullptr);
    EXPECT_EQ(rec->events.size(), 4u);

    rows0->SetAsArray(DoubleArray::Create2D(-1, 0));  // 0 x 1
    for (bool events : {false, true}) {  // no rows: the argument's elements are never read
        rows0->SetFireEvents(events);
        EXPECT_EQ(rows0->Times(Matrix::New())->Cols(), 1);
    }
}

TEST(Times, FaultIsTheFirstFaultingStepInRowOrder) {
    Rows b = RandomRows(4, 5, 10);
    for (int32_t k = 0; k < 4; ++k) b[k][0] = k == 3 ? 0.0 : std::fabs(b[k][0]) + 1.0;
    // Rows, overflowing row (1e308 + 1e308), invalid row (inf * 0), expected fault.
    const std::tuple<int, int, int, std::string> cases[] = {
        {3, 0, 1, "overflow"}, {3, 1, 0, "invalid"}, {400, 250, 390, "overflow"}, {400, 391, 250, "invalid"}, {400, 5, 5, "overflow"}};
    ForEachThreadCount([&](int) {
        for (const auto& [rows, ovf, inv, want] : cases)
            for (bool events : {false, true}) {
                Rows d = RandomRows(rows, 4, 9);
                d[ovf][1] = d[ovf][2] = 1e308;
                d[inv][3] = kInf;
                auto a = MakeMatrix(d);
                auto rec = Record(a);
                a->SetFireEvents(events);
                EXPECT_EQ(FaultOf([&] { a->Times(MakeMatrix(b)); }), want) << rows << " " << ovf << " " << events;
                // Every row before the faulting one reported; no Done.
                EXPECT_EQ(rec->events.size() + rec->Percents().size(), events ? 2u * std::min(ovf, inv) : 0u);
            }
    });
    // Within one element the earliest step decides.
    EXPECT_EQ(FaultOf([] { MakeMatrix({{kMax, kMax, -kInf}})->Times(MakeMatrix({{1}, {1}, {1}})); }), "overflow");
    EXPECT_EQ(FaultOf([] { MakeMatrix({{kInf, kMax}})->Times(MakeMatrix({{0, 1}, {1, 2}})); }), "invalid");
}

TEST(Times, HandlerChangesOperandsBetweenRows) { ForEachThreadCount([](int) {
    const int32_t n = 20;
    const Rows a = RandomRows(230, n, 21), b = RandomRows(n, 9, 22);
    // A changed element and fewer columns: later rows use the new value and shorter sums.
    auto ma = MakeMatrix(a), mb = MakeMatrix(b);
    auto rec = Record(ma);
    rec->onProgress = [&](int index, bool&) {
        if (index == 0) mb->Size(1, 1);  // the argument's copy is used
        if (index == 2) ma->SetItem(100, 4, 12345.5);
        if (index == 150) ma->SetCols(n - 5);
    };
    Rows changed = a;
    changed[100][4] = 12345.5;
    Rows want = Multiply(changed, b), shorter = Multiply(changed, b, n - 5);
    std::copy(shorter.begin() + 151, shorter.end(), want.begin() + 151);
    EXPECT_EQ(BitDifferences(ToRows(*ma->Times(mb)), want), 0);
    // More columns, fewer rows, no rows: the subscript error, never an access outside storage.
    for (int variant = 0; variant < 3; ++variant) {
        ma = MakeMatrix(a);
        rec = Record(ma);
        rec->onProgress = [&](int index, bool&) {
            if (index == 3) variant == 0 ? ma->SetCols(n + 2) : variant == 1 ? ma->Size(2, n) : ma->SetAsArray(DoubleArray::Create2D(-1, n - 1));
        };
        EXPECT_RUNTIME_ERROR(ma->Times(MakeMatrix(b)), RuntimeError::SubscriptOutOfRange);
        EXPECT_EQ(rec->Percents().size(), 4u);
    }
}); }

// A handler that runs other products on the same thread between rows: the
// outer product keeps its own copy of the argument (its rows after the
// first block are computed after events), which the inner ones
// must not reuse.
TEST(Times, HandlerRunsAnotherProduct) { ForEachThreadCount([](int) {
    const Rows a = RandomRows(200, 40, 31), b = RandomRows(40, 30, 32), c = RandomRows(30, 40, 33);
    auto ma = MakeMatrix(a), mb = MakeMatrix(b), mc = MakeMatrix(c);
    auto rec = Record(ma);
    Rows inner;
    rec->onProgress = [&](int, bool&) { inner = ToRows(*mb->Times(mc)); };
    EXPECT_EQ(BitDifferences(ToRows(*ma->Times(mb)), Multiply(a, b)), 0);
    EXPECT_EQ(BitDifferences(inner, Multiply(b, c)), 0);
}); }

}  // namespace
}  // namespace kestrim::test
