// Benchmarks of the orthogonal decompositions on square random matrices:
// QR with both factors (events off and on) and with R only, SVD with U, S and V and with the
// singular values only.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "kestrim/Matrix.h"

namespace {

using kestrim::Matrix;
using kestrim::MatrixPtr;

MatrixPtr RandomSquare(int n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    kestrim::DoubleArray data = kestrim::DoubleArray::Create2D(n - 1, n - 1);
    for (std::size_t i = 0; i < data.Count(); ++i) data.Data()[i] = dist(gen);
    auto m = Matrix::New();
    m->SetAsArray(data);
    return m;
}

// Argument 1 switches the receiver's events on (no handler connected), as
// callers that watch progress or may cancel have them.
void BM_QR_QandR(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = RandomSquare(n, 1);
    a->SetFireEvents(state.range(1) != 0);
    auto q = Matrix::New(), r = Matrix::New();
    for (auto _ : state) {
        a->QR(&q, &r);
        benchmark::DoNotOptimize(q.get());
    }
}

void BM_QR_ROnly(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = RandomSquare(n, 2);
    MatrixPtr q;
    auto r = Matrix::New();
    for (auto _ : state) {
        a->QR(&q, &r);
        benchmark::DoNotOptimize(r.get());
    }
}

void BM_SVD_USV(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = RandomSquare(n, 3);
    auto u = Matrix::New(), s = Matrix::New(), v = Matrix::New();
    for (auto _ : state) {
        a->SVD(&u, &s, &v);
        benchmark::DoNotOptimize(s.get());
    }
}

void BM_SVD_ValuesOnly(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto a = RandomSquare(n, 4);
    MatrixPtr u, v;
    auto s = Matrix::New();
    for (auto _ : state) {
        a->SVD(&u, &s, &v);
        benchmark::DoNotOptimize(s.get());
    }
}

}  // namespace

BENCHMARK(BM_QR_QandR)->ArgsProduct({{128, 256, 512}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QR_ROnly)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SVD_USV)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SVD_ValuesOnly)->Arg(128)->Arg(256)->Arg(512)->Unit(benchmark::kMillisecond);
