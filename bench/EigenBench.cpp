// Eigen on dense random matrices: the symmetric path (tridiagonalization
// and QL) and the general path (balancing, Hessenberg reduction, QR
// iteration, back-substitution), values and vectors.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "kestrim/Matrix.h"

namespace {

kestrim::MatrixPtr RandomSquare(int n, bool symmetric) {
    auto m = kestrim::Matrix::New();
    m->Size(n, n);
    uint64_t s = 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(n);
    auto next = [&s] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(s >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) m->SetItem(i, j, next());
    if (symmetric)
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) m->SetItem(i, j, m->Item(j, i));
    return m;
}

void RunEigen(benchmark::State& state, bool symmetric) {
    const int n = static_cast<int>(state.range(0));
    auto a = RandomSquare(n, symmetric);
    auto wr = kestrim::Matrix::New(), wi = kestrim::Matrix::New();
    auto vr = kestrim::Matrix::New(), vi = kestrim::Matrix::New();
    for (auto _ : state) {
        a->Eigen(&wr, &wi, &vr, &vi);
        benchmark::DoNotOptimize(vr.get());
    }
    state.SetComplexityN(n);
}

void BM_EigenSymmetric(benchmark::State& state) { RunEigen(state, true); }
void BM_EigenGeneral(benchmark::State& state) { RunEigen(state, false); }

BENCHMARK(BM_EigenSymmetric)->Arg(64)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EigenGeneral)->Arg(64)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);

}  // namespace
