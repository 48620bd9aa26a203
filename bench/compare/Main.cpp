// kestrim_compare: times the dense operations of the library against their
// LAPACK counterparts (OpenBLAS, one thread) at n = 256, 512 and 1024 and
// prints, for each, the time, GFLOP/s, the share of the no-FMA ceiling of
// this core, the ratio to LAPACK (their time / ours: 100 % means as fast)
// and the speed-up of two threads over one.
//
// Usage: kestrim_compare [n ...] [operation ...] [--only NAME[,NAME...]]
// Operations (Times, LU, Cholesky, QR, symmetric, general, SVD, ...; any
// case) restrict the tables to the operations whose names contain one.
#include <lapacke.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/compare/Compare.h"
#include "kestrim/Matrix.h"
#include "kestrim/Threading.h"

extern "C" {
void openblas_set_num_threads(int);
void dgemm_(const char*, const char*, const int*, const int*, const int*, const double*,
            const double*, const int*, const double*, const int*, const double*, double*,
            const int*);
}

namespace compare {

double Now(Clock clock) {
    timespec t{};
    clock_gettime(clock == Clock::ThreadCpu ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double BestMs(int reps, const std::function<void()>& setup, const std::function<void()>& run,
              Clock clock) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        setup();
        const double t0 = Now(clock);
        run();
        best = std::min(best, 1e3 * (Now(clock) - t0));
    }
    return best;
}

std::vector<std::string>& OnlyWords() {
    static std::vector<std::string> words;
    return words;
}

bool Wanted(const std::string& name) {
    if (OnlyWords().empty()) return true;
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    const std::string lowerName = lower(name);
    return std::any_of(OnlyWords().begin(), OnlyWords().end(),
                       [&](const std::string& w) { return lowerName.find(lower(w)) != std::string::npos; });
}

namespace {

using kestrim::Matrix;
using kestrim::MatrixPtr;

// Column-major n x n: 1 on the diagonal plus entries in [-1/n, 1/n), so
// every elimination is stable; symmetric (and then positive definite) when
// asked.
std::vector<double> Dominant(int n, bool symmetric, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i)
        for (int j = symmetric ? i : 0; j < n; ++j) {
            const double v = dist(gen) / n + (i == j ? 1.0 : 0.0);
            a[static_cast<std::size_t>(j) * n + i] = v;
            if (symmetric) a[static_cast<std::size_t>(i) * n + j] = v;
        }
    return a;
}

MatrixPtr ToMatrix(const std::vector<double>& a, int rows, int cols) {
    auto m = Matrix::New();
    m->Size(rows, cols);
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i) m->SetItem(i, j, a[static_cast<std::size_t>(j) * rows + i]);
    return m;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

int Reps(int n) { return n <= 256 ? 20 : n <= 512 ? 8 : 4; }

// BestMs after one untimed run: the first run of a size pays for what the
// memory allocator, the system and the libraries set up once (fresh pages,
// thread pools, buffers), which the repeated runs then reuse.
double WarmBestMs(int reps, const std::function<void()>& setup, const std::function<void()>& run,
                  Clock clock = Clock::ThreadCpu) {
    setup();
    run();
    return BestMs(reps, setup, run, clock);
}

// Times one of our operations at 1 and 2 threads.
void Ours(Entry& e, int reps, const std::function<void()>& run) {
    kestrim::SetNumThreads(1);
    e.oursMs1 = WarmBestMs(reps, [] {}, run);
    e.oursWall1 = BestMs(reps, [] {}, run, Clock::Wall);
    kestrim::SetNumThreads(2);
    e.oursWall2 = WarmBestMs(reps, [] {}, run, Clock::Wall);
    kestrim::SetNumThreads(0);
}

std::vector<Entry> Measure(int n) {
    const int reps = Reps(n);
    const double n3 = static_cast<double>(n) * n * n;
    const auto general = Dominant(n, false, 1), other = Dominant(n, false, 2),
               spd = Dominant(n, true, 3);
    std::vector<double> rhs(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) rhs[static_cast<std::size_t>(i)] = 1.0 + i % 7;
    const MatrixPtr A = ToMatrix(general, n, n), B = ToMatrix(other, n, n),
                    S = ToMatrix(spd, n, n), b = ToMatrix(rhs, n, 1);
    std::vector<double> work, work2;
    std::vector<lapack_int> ipiv(static_cast<std::size_t>(n));
    auto copyA = [&] { work = general; };
    std::vector<Entry> out;

    if (Wanted("Times")) {
        Entry e{"Times", "dgemm", 2 * n3, 0, 0, 0, 0};
        Ours(e, reps, [&] { A->Times(B); });
        work2.assign(general.size(), 0.0);
        const double one = 1.0, zero = 0.0;
        e.theirsMs = WarmBestMs(reps, [] {}, [&] {
            dgemm_("N", "N", &n, &n, &n, &one, general.data(), &n, other.data(), &n, &zero,
                   work2.data(), &n);
        });
        out.push_back(e);
    }
    auto getrf = [&] { LAPACKE_dgetrf(LAPACK_COL_MAJOR, n, n, work.data(), n, ipiv.data()); };
    if (Wanted("LU") || Wanted("Determinant")) {
        Entry e{"LU", "dgetrf", 2 * n3 / 3, 0, 0, 0, 0};
        if (Wanted(e.name)) Ours(e, reps, [&] {
            MatrixPtr l = Matrix::New(), u = Matrix::New();
            A->LU(&l, &u);
        });
        e.theirsMs = WarmBestMs(reps, copyA, getrf);
        if (Wanted(e.name)) out.push_back(e);
        Entry d{"Determinant", "dgetrf", 2 * n3 / 3, 0, 0, 0, 0};
        if (Wanted(d.name)) {
            Ours(d, reps, [&] { A->Determinant(); });
            d.theirsMs = e.theirsMs;
            out.push_back(d);
        }
    }
    if (Wanted("Cholesky")) {
        Entry e{"Cholesky", "dpotrf", n3 / 3, 0, 0, 0, 0};
        Ours(e, reps, [&] {
            MatrixPtr l = Matrix::New();
            S->Cholesky(&l);
        });
        e.theirsMs = WarmBestMs(reps, [&] { work = spd; },
                            [&] { LAPACKE_dpotrf(LAPACK_COL_MAJOR, 'L', n, work.data(), n); });
        out.push_back(e);
    }
    if (Wanted("Inverse")) {
        Entry e{"Inverse", "dgetrf+dgetri", 2 * n3, 0, 0, 0, 0};
        Ours(e, reps, [&] { A->Inverse(); });
        e.theirsMs = WarmBestMs(reps, copyA, [&] {
            getrf();
            LAPACKE_dgetri(LAPACK_COL_MAJOR, n, work.data(), n, ipiv.data());
        });
        out.push_back(e);
    }
    if (Wanted("Solve") || Wanted("SolveGauss")) {
        auto gesv = [&] {
            LAPACKE_dgesv(LAPACK_COL_MAJOR, n, 1, work.data(), n, ipiv.data(), work2.data(), n);
        };
        auto copyBoth = [&] {
            work = general;
            work2 = rhs;
        };
        const double theirs = WarmBestMs(reps, copyBoth, gesv);
        Entry e{"Solve", "dgesv", 2 * n3, 0, 0, 0, theirs};
        Entry g{"SolveGauss", "dgesv", n3, 0, 0, 0, theirs};
        if (Wanted(e.name)) {
            Ours(e, reps, [&] { A->Solve(b); });
            out.push_back(e);
        }
        if (Wanted(g.name)) {
            Ours(g, reps, [&] { A->SolveGauss(b); });
            out.push_back(g);
        }
    }
    if (Wanted("QR")) {
        Entry e{"QR (Q and R)", "dgeqrf+dorgqr", 8 * n3 / 3, 0, 0, 0, 0};
        Ours(e, reps, [&] {
            MatrixPtr q = Matrix::New(), r = Matrix::New();
            A->QR(&q, &r);
        });
        std::vector<double> tau(static_cast<std::size_t>(n));
        e.theirsMs = WarmBestMs(reps, copyA, [&] {
            LAPACKE_dgeqrf(LAPACK_COL_MAJOR, n, n, work.data(), n, tau.data());
            LAPACKE_dorgqr(LAPACK_COL_MAJOR, n, n, n, work.data(), n, tau.data());
        });
        out.push_back(e);
    }
    return out;
}

}  // namespace
}  // namespace compare

int main(int argc, char** argv) {
    using namespace compare;
    openblas_set_num_threads(1);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--only" && i + 1 < argc) || arg.rfind("--only=", 0) == 0) {
            std::stringstream names(arg == "--only" ? argv[++i] : arg.substr(7));
            for (std::string name; std::getline(names, name, ',');)
                if (!name.empty()) OnlyWords().push_back(name);
        } else if (arg == "--help" || arg == "-h") {
            std::printf("Usage: kestrim_compare [n ...] [operation ...] [--only NAME[,NAME...]]\n"
                        "Operations: Times LU Determinant Cholesky Inverse Solve SolveGauss QR; "
                        "eigenanalysis and SVD: symmetric general SVD\n");
            return 0;
        } else if (std::isdigit(static_cast<unsigned char>(arg[0]))) {
            sizes.push_back(std::atoi(arg.c_str()));
        } else {
            OnlyWords().push_back(arg);
        }
    }
    const std::vector<int> requested = sizes;
    if (sizes.empty()) sizes = {256, 512, 1024};

    // Another program on the same core lowers a probe: the best of three
    // probes (before, between and after the measurements) is taken.
    Ceiling ceiling = ProbeCeiling();
    std::vector<std::pair<int, std::vector<Entry>>> results;
    bool mainTable = false;
    for (const char* name : {"Times", "LU", "Determinant", "Cholesky", "Inverse", "Solve", "SolveGauss", "QR"})
        mainTable = mainTable || Wanted(name);
    for (int n : sizes) {
        if (n <= 0 || !mainTable) continue;
        results.emplace_back(n, Measure(n));
        const Ceiling again = ProbeCeiling();
        ceiling.noFma = std::max(ceiling.noFma, again.noFma);
        ceiling.fma = std::max(ceiling.fma, again.fma);
    }
    std::printf("CPU: %s\n", CpuModel().c_str());
    std::printf("Ceiling of one core (%s): %.1f GFLOP/s separate multiply+add, %.1f GFLOP/s fused\n",
                ceiling.isa, ceiling.noFma, ceiling.fma);
    if (!results.empty()) {
        std::printf("Times are the calling thread's CPU time (best of several runs), one thread;\n"
                    "LAPACK: OpenBLAS, one thread; ratio = LAPACK time / ours;\n"
                    "2-thr x = wall-clock time on one thread / on two threads.\n\n");
        std::printf("%5s  %-13s %10s %9s %8s  %-14s %10s %8s %9s\n", "n", "operation", "ms (1 thr)",
                    "GFLOP/s", "ceiling", "counterpart", "LAPACK ms", "ratio", "2-thr x");
    }
    for (const auto& [n, entries] : results) {
        for (const Entry& e : entries) {
            const double gflops = e.flops / (e.oursMs1 * 1e6);
            std::printf("%5d  %-13s %10.2f %9.1f %7.0f%%  %-14s %10.2f %7.0f%% %9.2f\n", n,
                        e.name.c_str(), e.oursMs1, gflops,
                        ceiling.noFma > 0 ? 100 * gflops / ceiling.noFma : 0.0,
                        e.counterpart.c_str(), e.theirsMs, 100 * e.theirsMs / e.oursMs1,
                        e.oursWall1 / e.oursWall2);
        }
        std::printf("\n");
    }
    for (Section section : Sections()) section(requested);
    return 0;
}
