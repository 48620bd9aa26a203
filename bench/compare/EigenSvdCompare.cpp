// Section of kestrim_compare: symmetric and general eigenanalysis and the
// singular value decomposition (values and vectors) of this library side
// by side with LAPACK (dsyev, dsyevd, dgeev, dgesvd, dgesdd through LAPACKE
// on OpenBLAS, one thread) and Eigen 3.4 (SelfAdjointEigenSolver,
// EigenSolver, BDCSVD), on the same random matrices.
//
// For this library it also prints the time of each stage (reduction,
// accumulation, iteration and, on the general path, back-substitution),
// told apart by the progress events the operations raise and timed on the
// calling thread's CPU clock, in a separate run (the timed runs raise no
// events).
#include <lapacke.h>

#include <Eigen/Eigenvalues>
#include <Eigen/SVD>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "bench/compare/Compare.h"
#include "kestrim/Matrix.h"
#include "kestrim/MatrixEvents.h"
#include "kestrim/Threading.h"

namespace compare {
namespace {

using kestrim::Matrix;
using kestrim::MatrixPtr;

// Column-major n x n random matrix in [-1, 1), symmetric on request.
std::vector<double> RandomData(int n, bool symmetric) {
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    uint64_t s = 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(n);
    for (double& x : a) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = static_cast<double>(s >> 11) / 9007199254740992.0 * 2.0 - 1.0;
    }
    if (symmetric)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < j; ++i)
                a[static_cast<std::size_t>(i) * n + j] = a[static_cast<std::size_t>(j) * n + i];
    return a;
}

MatrixPtr ToMatrix(const std::vector<double>& data, int n) {
    kestrim::DoubleArray e = kestrim::DoubleArray::Create2D(n - 1, n - 1);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i)
            e.Data()[static_cast<std::size_t>(j) * e.Stride() + i] = data[static_cast<std::size_t>(j) * n + i];
    MatrixPtr m = Matrix::New();
    m->SetAsArray(e);
    return m;
}

double ThreadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Records the CPU time of the last progress event of each stage; a stage
// is named by the Percent that ends it, the last one ends with Done.
class StageClock : public kestrim::MatrixEvents {
public:
    explicit StageClock(std::vector<float> ends) : ends_(std::move(ends)), at_(ends_.size() + 1, 0.0) {}
    void Start() {
        start_ = ThreadSeconds();
        std::fill(at_.begin(), at_.end(), start_);
    }
    void OnProgress(const std::string&, float percent, bool&) override {
        std::size_t k = 0;
        while (k < ends_.size() && percent > ends_[k]) ++k;
        const double now = ThreadSeconds();
        for (std::size_t later = k; later < at_.size(); ++later) at_[later] = now;
    }
    void Done(const std::string&) override { at_.back() = ThreadSeconds(); }
    double StageMs(std::size_t k) const { return 1e3 * (at_[k] - (k == 0 ? start_ : at_[k - 1])); }
    std::size_t Stages() const { return at_.size(); }

private:
    std::vector<float> ends_;
    std::vector<double> at_;
    double start_ = 0.0;
};

// "name a.b/c.d/..." of one run of `call` with events on.
template <class Call>
std::string Stages(const MatrixPtr& m, std::vector<float> ends, const char* names, Call&& call) {
    kestrim::SetNumThreads(1);
    auto clock = std::make_shared<StageClock>(std::move(ends));
    const auto cookie = m->Connect(clock);
    m->SetFireEvents(true);
    clock->Start();
    call();
    m->SetFireEvents(false);
    m->Disconnect(cookie);
    kestrim::SetNumThreads(0);
    std::string out = names;
    out += " ";
    char buf[32];
    for (std::size_t k = 0; k < clock->Stages(); ++k) {
        std::snprintf(buf, sizeof buf, k == 0 ? "%.1f" : "/%.1f", clock->StageMs(k));
        out += buf;
    }
    return out;
}

int Reps(int n) { return n <= 256 ? 5 : n <= 512 ? 3 : 1; }

// The best (smallest) CPU time of the calling thread over `reps` runs, in
// milliseconds: on a machine shared with other work, time spent waiting
// for a core does not count, so one-thread ratios stay meaningful.
double BestCpuMs(int reps, const std::function<void()>& setup, const std::function<void()>& run) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        setup();
        const double t0 = ThreadSeconds();
        run();
        best = std::min(best, 1e3 * (ThreadSeconds() - t0));
    }
    return best;
}

struct Peer {
    const char* name;
    std::function<void()> setup, run;
};

// One line: ours on one thread (CPU time) and on two (wall time, against
// the one-thread wall time), the stages, and each peer (one thread, CPU
// time) with the ratio peer time / ours (above 1: we are faster).
template <class Ours>
void Row(int n, const char* problem, Ours&& ours, const std::string& stages, const std::vector<Peer>& peers) {
    const int reps = Reps(n);
    kestrim::SetNumThreads(1);
    const double one = BestCpuMs(reps, [] {}, ours);
    const double oneWall = BestMs(reps, [] {}, ours);
    kestrim::SetNumThreads(2);
    const double two = BestMs(reps, [] {}, ours);
    kestrim::SetNumThreads(0);
    std::printf("%5d  %-10s %9.1f %9.1f %6.2f  %-28s", n, problem, one, two, oneWall / two, stages.c_str());
    for (const Peer& p : peers) {
        const double ms = BestCpuMs(reps, p.setup, p.run);
        std::printf("  %s %.1f (%.2f)", p.name, ms, ms / one);
    }
    std::printf("\n");
    std::fflush(stdout);
}

void EigenSvdSection(const std::vector<int>& requested) {
    // Eigen's products may use OpenMP threads: one, as for the others.
    if (!Wanted("Eigen symmetric") && !Wanted("Eigen general") && !Wanted("SVD")) return;
    Eigen::setNbThreads(1);
    std::vector<int> sizes = requested;
    if (sizes.empty()) sizes = {128, 256, 512, 1024};
    std::printf("Eigenanalysis and SVD, values and vectors, one thread: best CPU ms of the calling thread;\n"
                "2 thr: best wall ms, 2thr x = one-thread wall / two-thread wall; stages: CPU ms per stage of one\n"
                "run with events; peers: CPU ms (peer / ours).\n");
    std::printf("%5s  %-10s %9s %9s %6s  %-28s  %s\n", "n", "problem", "ours 1thr", "ours 2thr", "2thr x", "stages",
                "peers");
    for (int n : sizes) {
        if (n <= 1) continue;
        const std::size_t nn = static_cast<std::size_t>(n) * n;
        std::vector<double> work, w(n), wi(n), u(nn), vt(nn), superb(n);
        if (Wanted("Eigen symmetric")) {
            const std::vector<double> a0 = RandomData(n, true);
            const MatrixPtr a = ToMatrix(a0, n);
            MatrixPtr wr = Matrix::New(), vr = Matrix::New();
            auto ours = [&] { a->Eigen(&wr, nullptr, &vr, nullptr); };
            const Eigen::MatrixXd e = Eigen::Map<const Eigen::MatrixXd>(a0.data(), n, n);
            auto copy = [&] { work = a0; };
            Row(n, "symmetric", ours, Stages(a, {13.0f, 30.0f}, "red/acc/QL", ours),
                {{"dsyev", copy, [&] { LAPACKE_dsyev(LAPACK_COL_MAJOR, 'V', 'U', n, work.data(), n, w.data()); }},
                 {"dsyevd", copy, [&] { LAPACKE_dsyevd(LAPACK_COL_MAJOR, 'V', 'U', n, work.data(), n, w.data()); }},
                 {"SelfAdjointEigenSolver", [] {}, [&] {
                      Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> s(e, Eigen::ComputeEigenvectors);
                      if (s.info() != Eigen::Success) std::printf("(failed) ");
                  }}});
        }
        if (Wanted("Eigen general") || Wanted("SVD")) {
            const std::vector<double> a0 = RandomData(n, false);
            const MatrixPtr a = ToMatrix(a0, n);
            MatrixPtr wr = Matrix::New(), wim = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
            auto ours = [&] { a->Eigen(&wr, &wim, &vr, &vi); };
            const Eigen::MatrixXd e = Eigen::Map<const Eigen::MatrixXd>(a0.data(), n, n);
            auto copy = [&] { work = a0; };
            if (Wanted("Eigen general"))
                Row(n, "general", ours, Stages(a, {1.0f, 15.0f, 20.0f, 95.0f}, "bal/red/acc/QR/vec", ours),
                {{"dgeev", copy, [&] {
                      LAPACKE_dgeev(LAPACK_COL_MAJOR, 'N', 'V', n, work.data(), n, w.data(), wi.data(), nullptr, n,
                                    u.data(), n);
                  }},
                 {"EigenSolver", [] {}, [&] {
                      Eigen::EigenSolver<Eigen::MatrixXd> s(e, true);
                      if (s.info() != Eigen::Success) std::printf("(failed) ");
                  }}});
            MatrixPtr us = Matrix::New(), s = Matrix::New(), v = Matrix::New();
            auto svd = [&] { a->SVD(&us, &s, &v); };
            if (Wanted("SVD"))
                Row(n, "SVD", svd, Stages(a, {34.0f, 35.0f, 53.0f}, "red/accV/accU/QR", svd),
                {{"dgesvd", copy, [&] {
                      LAPACKE_dgesvd(LAPACK_COL_MAJOR, 'S', 'S', n, n, work.data(), n, w.data(), u.data(), n,
                                     vt.data(), n, superb.data());
                  }},
                 {"dgesdd", copy, [&] {
                      LAPACKE_dgesdd(LAPACK_COL_MAJOR, 'S', n, n, work.data(), n, w.data(), u.data(), n, vt.data(),
                                     n);
                  }},
                 {"BDCSVD", [] {}, [&] {
                      Eigen::BDCSVD<Eigen::MatrixXd> b(e, Eigen::ComputeThinU | Eigen::ComputeThinV);
                      if (b.info() != Eigen::Success) std::printf("(failed) ");
                  }}});
        }
        std::printf("\n");
    }
}

const AddSection eigenSvd(EigenSvdSection);

}  // namespace
}  // namespace compare
