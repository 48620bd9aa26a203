// Benchmarks of the elementwise and structural operations: Times (with a
// plain i-j-k loop over the same column-major arrays for comparison), Plus
// and Transpose, at n = 256, 512 and 1024, events off.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kestrim/Matrix.h"

namespace {

using kestrim::DoubleArray;
using kestrim::Matrix;
using kestrim::MatrixPtr;

DoubleArray RandomArray(int32_t rows, int32_t cols, unsigned seed) {
    DoubleArray a = DoubleArray::Create2D(rows - 1, cols - 1);
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    for (std::size_t t = 0; t < a.Count(); ++t) a.Data()[t] = dist(gen);
    return a;
}

MatrixPtr RandomMatrix(int32_t n, unsigned seed) {
    auto m = Matrix::New();
    m->SetAsArray(RandomArray(n, n, seed));
    return m;
}

void SetFlops(benchmark::State& state, double n) {
    state.counters["FLOPS"] =
        benchmark::Counter(2.0 * n * n * n, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Times(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    auto a = RandomMatrix(n, 1);
    auto b = RandomMatrix(n, 2);
    for (auto _ : state) {
        MatrixPtr c = a->Times(b);
        benchmark::DoNotOptimize(c.get());
    }
    SetFlops(state, n);
}
BENCHMARK(BM_Times)->Arg(256)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond);

// The textbook loop: for i, for j, s = 0, for k: s = s + a(i,k) * b(k,j),
// over the same column-major layout, no packing.
void BM_PlainIJK(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    const DoubleArray a = RandomArray(n, n, 1);
    const DoubleArray b = RandomArray(n, n, 2);
    DoubleArray c = DoubleArray::Create2D(n - 1, n - 1);
    for (auto _ : state) {
        for (int32_t i = 0; i < n; ++i)
            for (int32_t j = 0; j < n; ++j) {
                double s = 0.0;
                for (int32_t k = 0; k < n; ++k) s = s + a.At(i, k) * b.At(k, j);
                c.At(i, j) = s;
            }
        benchmark::DoNotOptimize(c.Data());
        benchmark::ClobberMemory();
    }
    SetFlops(state, n);
}
BENCHMARK(BM_PlainIJK)->Arg(256)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond);

void BM_Plus(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    auto a = RandomMatrix(n, 1);
    auto b = RandomMatrix(n, 2);
    for (auto _ : state) {
        MatrixPtr c = a->Plus(b);
        benchmark::DoNotOptimize(c.get());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{n} * n * 8 * 3);
}
BENCHMARK(BM_Plus)->Arg(256)->Arg(512)->Arg(1024)->Unit(benchmark::kMicrosecond);

void BM_Transpose(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(0));
    auto a = RandomMatrix(n, 1);
    for (auto _ : state) {
        MatrixPtr t = a->Transpose();
        benchmark::DoNotOptimize(t.get());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{n} * n * 8 * 2);
}
BENCHMARK(BM_Transpose)->Arg(256)->Arg(512)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace
