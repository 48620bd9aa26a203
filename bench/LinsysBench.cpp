// LU, determinant, inverse, the two solvers and Cholesky on random
// well-conditioned n x n matrices.
#include <benchmark/benchmark.h>

#include <random>

#include "kestrim/Matrix.h"

namespace {

using kestrim::Matrix;
using kestrim::MatrixPtr;

// 1 on the diagonal plus random entries in [-1/n, 1/n): diagonally dominant,
// with a determinant well inside the Double range; symmetric when asked
// (then also positive definite).
MatrixPtr Dominant(int n, bool symmetric, unsigned seed = 1) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    auto m = Matrix::New();
    m->Size(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = symmetric ? i : 0; j < n; ++j) {
            const double v = dist(gen) / n + (i == j ? 1.0 : 0.0);
            m->SetItem(i, j, v);
            if (symmetric) m->SetItem(j, i, v);
        }
    return m;
}

MatrixPtr Rhs(int n) {
    auto b = Matrix::New();
    b->Size(n, 1);
    for (int i = 0; i < n; ++i) b->SetItem(i, 0, 1.0 + i % 7);
    return b;
}

void Flops(benchmark::State& state, double perCall) {
    state.counters["GFLOP/s"] = benchmark::Counter(perCall * static_cast<double>(state.iterations()) * 1e-9,
                                                   benchmark::Counter::kIsRate);
}

void BM_LU(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = Dominant(n, false);
    MatrixPtr l = Matrix::New(), u = Matrix::New();
    kestrim::Variant perm;
    int32_t sign = 0;
    for (auto _ : state) a->LU(&l, &u, &perm, &sign);
    Flops(state, 2.0 * n * n * n / 3.0);
}

void BM_Determinant(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = Dominant(n, false);
    for (auto _ : state) benchmark::DoNotOptimize(a->Determinant());
    Flops(state, 2.0 * n * n * n / 3.0);
}

void BM_Inverse(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = Dominant(n, false);
    for (auto _ : state) benchmark::DoNotOptimize(a->Inverse());
    Flops(state, 3.0 * n * n * n);
}

void BM_Solve(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = Dominant(n, false);
    auto b = Rhs(n);
    for (auto _ : state) benchmark::DoNotOptimize(a->Solve(b));
    Flops(state, 3.0 * n * n * n);
}

void BM_SolveGauss(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = Dominant(n, false);
    auto b = Rhs(n);
    for (auto _ : state) benchmark::DoNotOptimize(a->SolveGauss(b));
    Flops(state, 1.0 * n * n * n);
}

void BM_Cholesky(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = Dominant(n, true);
    MatrixPtr l = Matrix::New();
    for (auto _ : state) a->Cholesky(&l);
    Flops(state, 1.0 * n * n * n / 3.0);
}

}  // namespace

BENCHMARK(BM_LU)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Determinant)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Inverse)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Solve)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SolveGauss)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cholesky)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
