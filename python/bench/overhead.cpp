// Times plain C++ calls of the library, for python/bench/overhead.py to set
// beside the same calls made from Python. Prints "<operation> <n> <ns per call>".
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "kestrim/Matrix.h"

using kestrim::Matrix;
using kestrim::MatrixPtr;

namespace {

// Best of five batches, each at least ~0.1 s long.
double NanosPerCall(const std::function<void()>& call) {
    using Clock = std::chrono::steady_clock;
    long reps = 1;
    for (;;) {
        const auto t0 = Clock::now();
        for (long i = 0; i < reps; ++i) call();
        if (Clock::now() - t0 > std::chrono::milliseconds(100)) break;
        reps *= 2;
    }
    double best = 1e300;
    for (int batch = 0; batch < 5; ++batch) {
        const auto t0 = Clock::now();
        for (long i = 0; i < reps; ++i) call();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / reps;
        if (ns < best) best = ns;
    }
    return best;
}

MatrixPtr Random(int n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> dist;
    auto m = Matrix::New();
    m->Size(n, n);
    for (int c = 0; c < n; ++c)
        for (int r = 0; r < n; ++r) m->SetItem(r, c, dist(gen) / (4 * std::sqrt(n)) + (r == c ? 1 : 0));  // determinant near 1
    return m;
}

}  // namespace

int main() {
    for (int n : {4, 512}) {
        auto a = Random(n, 1), b = Random(n, 2);
        std::printf("Plus %d %.1f\n", n, NanosPerCall([&] { a->Plus(b); }));
        std::printf("Inverse %d %.1f\n", n, NanosPerCall([&] { a->Inverse(); }));
        std::printf("Determinant %d %.1f\n", n, NanosPerCall([&] { a->Determinant(); }));
        std::printf("Item %d %.1f\n", n, NanosPerCall([&] { a->Item(n - 1, n - 1); }));
    }
    return 0;
}
