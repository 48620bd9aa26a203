// Every member that allocates, run under an address-space limit: each call
// runs in a child process whose limit leaves room for the inputs and grows
// step by step, so that the operation's work arrays, outputs and results
// fail in turn. Every attempt must end either in success or in the
// out-of-memory error (QR and SVD: their own error, which covers every
// runtime failure), with the receiver, the arguments and the outputs as
// they were before the call. No exception of the standard library, no
// crash.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "host/runtime/Parallel.h"
#include "support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__)
#define KESTRIM_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRIM_UNDER_ASAN 1
#endif
#endif

namespace kestrim::test {
namespace {

#ifdef KESTRIM_UNDER_ASAN
TEST(OutOfMemory, SkippedUnderAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address-space limit";
}
#else

constexpr int kOrder = 160;
constexpr int32_t kOutOfMemory = static_cast<int32_t>(RuntimeError::OutOfMemory);  // each work array (200 KiB) is mapped on its own

// A handler that allocates nothing: running out of memory inside a handler
// would be the handler's own exception, which passes unchanged.
class Listener : public MatrixEvents {
public:
    void OnProgress(const std::string&, float, bool&) override {}
    void Done(const std::string&) override {}
};

// Everything a call can touch.
struct Objects {
    MatrixPtr a, b, out1, out2, out3, out4;
    Variant perm;
    int32_t sign = 7;
    double norm = 7.0;
    std::shared_ptr<MatrixEvents> handler;
};

// Diagonally dominant (so regular, and positive definite when symmetric).
MatrixPtr Filled(int32_t rows, int32_t cols, unsigned seed, bool symmetric = false) {
    auto m = Matrix::New();
    m->Size(rows, cols);
    unsigned x = seed;
    for (int32_t j = 0; j < cols; ++j)
        for (int32_t i = 0; i < rows; ++i) {
            x = x * 1103515245u + 12345u;
            m->SetItem(i, j, static_cast<double>((x >> 8) % 2001) / 100.0 - 10.0 + (i == j ? 2000.0 : 0.0));
        }
    if (symmetric)
        for (int32_t j = 0; j < cols; ++j)
            for (int32_t i = j + 1; i < rows; ++i) m->SetItem(i, j, m->Item(j, i));
    return m;
}

void AppendMatrix(std::string& s, const MatrixPtr& m) {
    if (!m) {
        s += "null;";
        return;
    }
    s += std::to_string(m->Rows()) + "x" + std::to_string(m->Cols()) + ":";
    const DoubleArray e = m->AsArray();
    if (e.HasStorage()) s.append(reinterpret_cast<const char*>(e.Data()), e.Count() * sizeof(double));
    s += std::to_string(m->FireEvents()) + ";";
}

std::string Fingerprint(const Objects& o, bool withPermutation = true) {
    std::string s;
    for (const auto& m : {o.a, o.b, o.out1, o.out2, o.out3, o.out4}) AppendMatrix(s, m);
    if (!withPermutation) return s;
    if (o.perm.IsArray())
        for (int32_t i = o.perm.LBound(1); i <= o.perm.UBound(1); ++i) s += std::to_string(o.perm.At(i).ToLong()) + ",";
    s += std::to_string(o.sign) + ";";
    s.append(reinterpret_cast<const char*>(&o.norm), sizeof o.norm);
    return s;
}

std::size_t AddressSpaceInUse() {
    unsigned long pages = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
        std::fclose(f);
    }
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Outcomes a child reports through its exit status. QR and SVD report
// every failure as their own error, but when memory is too short even to
// describe that error, the out-of-memory error is what remains.
enum Outcome {
    kSucceeded = 10,
    kRefusedCleanly,
    kWrongError,
    kChangedState,
    kForeignException,
    kSetupFailed,
    kRefusedOutOfMemory
};

struct Case {
    const char* name;
    std::function<void(Objects&)> setup;
    std::function<void(Objects&)> call;
    int32_t failureNumber = kOutOfMemory;
    // Needs too little memory of its own to be refused for sure (small
    // results, in-place work): only a clean refusal is required.
    bool small = false;
    // LU moves PermIndex and PermSign on step by step: memory that runs out
    // during the elimination (the blocked updates' packing arrays) leaves
    // them as far as they got, as any failure there does. Everything else
    // must be unchanged.
    bool permutationAdvances = false;
};

// Runs `c` in a child limited to its current address space plus `margin`.
int RunLimited(const Case& c, bool events, std::size_t margin) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        Objects o;
        try {
            c.setup(o);
            if (events) {
                o.a->Connect(std::make_shared<Listener>());
                o.a->SetFireEvents(true);
            }
        } catch (...) {
            _exit(kSetupFailed);
        }
        const std::string before = Fingerprint(o, !c.permutationAdvances);
        // The OpenMP runtime cannot report a thread it fails to create (it
        // ends the process): its workers start before memory runs short.
        detail::StartThreads();
        malloc_trim(0);
        const rlimit limit{AddressSpaceInUse() + margin, RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &limit);
        int outcome = kSucceeded;
        try {
            c.call(o);
        } catch (const Error& e) {
            outcome = e.Number() == c.failureNumber ? kRefusedCleanly
                      : e.Number() == kOutOfMemory  ? kRefusedOutOfMemory
                                                    : kWrongError;
            if (outcome == kWrongError) std::fprintf(stderr, "%s: %s\n", c.name, e.Description().c_str());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", c.name, e.what());
            outcome = kForeignException;
        } catch (...) {
            outcome = kForeignException;
        }
        const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_AS, &none);
        if ((outcome == kRefusedCleanly || outcome == kRefusedOutOfMemory) && Fingerprint(o, !c.permutationAdvances) != before) outcome = kChangedState;
        _exit(outcome);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

const char* OutcomeText(int outcome) {
    switch (outcome) {
        case kWrongError: return "another error than the expected one";
        case kChangedState: return "refused but changed an object";
        case kForeignException: return "an exception other than kestrim::Error";
        case kSetupFailed: return "set-up failed";
        default: return outcome >= 1000 ? "killed by a signal" : "unexpected exit";
    }
}

void Square(Objects& o) { o.a = Filled(kOrder, kOrder, 1); }
void SquareWithOutputs(Objects& o) {
    Square(o);
    o.out1 = Filled(2, 3, 5);
    o.out2 = Filled(3, 2, 6);
    o.out3 = Filled(1, 1, 7);
    o.out4 = Filled(2, 2, 8);
}
void Pair(Objects& o) {
    Square(o);
    o.b = Filled(kOrder, kOrder, 2);
}
void SystemOf(Objects& o) {
    Square(o);
    o.b = Filled(kOrder, 1, 3);
}

const Case kCases[] = {
    {"Size", Square, [](Objects& o) { o.a->Size(kOrder + 7, kOrder); }},
    {"Rows", Square, [](Objects& o) { o.a->SetRows(kOrder + 7); }},
    {"Cols", Square, [](Objects& o) { o.a->SetCols(kOrder + 7); }},
    {"AsArray get", Square, [](Objects& o) { o.norm = o.a->AsArray().Data()[5]; }},
    {"AsArray let", Pair, [](Objects& o) { o.a->SetAsArray(o.b->AsArray()); }},
    {"AsArray let, one dimension", Square,
     [](Objects& o) { o.a->SetAsArray(DoubleArray::Create1D(kOrder * kOrder / 2)); }},
    {"Clone", Square, [](Objects& o) { o.b = o.a->Clone(); }},
    {"GetString", Square, [](Objects& o) { o.perm = Variant(o.a->GetString(12)); }},
    {"FillRandom", Square, [](Objects& o) { o.a->FillRandom(0, 10, 2); }, kOutOfMemory, true},
    {"Transpose", Square, [](Objects& o) { o.b = o.a->Transpose(); }},
    {"Plus", Pair, [](Objects& o) { o.out1 = o.a->Plus(o.b); }},
    {"Minus", Pair, [](Objects& o) { o.out1 = o.a->Minus(o.b); }},
    {"PlusEquals", Pair, [](Objects& o) { o.a->PlusEquals(o.b); }},
    {"MinusEquals", Pair, [](Objects& o) { o.a->MinusEquals(o.b); }},
    {"PlusEquals itself", Square, [](Objects& o) { o.a->PlusEquals(o.a); }},
    {"TimesScalar", Square, [](Objects& o) { o.b = o.a->TimesScalar(3); }},
    {"Times", Pair, [](Objects& o) { o.out1 = o.a->Times(o.b); }},
    {"IsSymmetric", Square, [](Objects& o) { o.sign = o.a->IsSymmetric(); }, kOutOfMemory, true},
    {"IsEqualTo", Pair, [](Objects& o) { o.sign = o.a->IsEqualTo(o.b); }},
    {"Normalize", Square, [](Objects& o) { o.b = o.a->Normalize(&o.norm); }},
    {"NormalizeMe", Square, [](Objects& o) { o.a->NormalizeMe(&o.norm); }, kOutOfMemory, true},
    {"RowVector", [](Objects& o) { o.a = Filled(4, 40000, 1); }, [](Objects& o) { o.b = o.a->RowVector(3); }},
    {"ColVector", [](Objects& o) { o.a = Filled(40000, 4, 1); }, [](Objects& o) { o.b = o.a->ColVector(3); }},
    {"RearrangeRows", [](Objects& o) { Square(o); o.perm = Variant::MakeLongArray({2, 0, 1}); },
     [](Objects& o) { o.a->RearrangeRows(o.perm); }, kOutOfMemory, true},
    {"LU", SquareWithOutputs, [](Objects& o) { o.a->LU(&o.out1, &o.out2, &o.perm, &o.sign); }, kOutOfMemory,
     false, true},
    {"Determinant", [](Objects& o) { Square(o); o.a->NormalizeMe(); }, [](Objects& o) { o.norm = o.a->Determinant(); }},
    {"Inverse", Square, [](Objects& o) { o.b = o.a->Inverse(); }},
    {"Solve", SystemOf, [](Objects& o) { o.out1 = o.a->Solve(o.b); }},
    {"SolveGauss", SystemOf, [](Objects& o) { o.out1 = o.a->SolveGauss(o.b); }},
    {"Cholesky", [](Objects& o) { o.a = Filled(kOrder, kOrder, 4, true); o.out1 = Filled(2, 2, 9); },
     [](Objects& o) { o.a->Cholesky(&o.out1); }},
    {"QR", SquareWithOutputs, [](Objects& o) { o.a->QR(&o.out1, &o.out2); }, MatrixErrorNumber(15)},
    {"SVD", SquareWithOutputs, [](Objects& o) { o.a->SVD(&o.out1, &o.out2, &o.out3); }, MatrixErrorNumber(16)},
    {"Eigen, general", SquareWithOutputs, [](Objects& o) { o.a->Eigen(&o.out1, &o.out2, &o.out3, &o.out4); }},
    {"Eigen, symmetric",
     [](Objects& o) { SquareWithOutputs(o); o.a = Filled(kOrder, kOrder, 4, true); },
     [](Objects& o) { o.a->Eigen(&o.out1, &o.out2, &o.out3, &o.out4); }},
    {"Connect", [](Objects& o) { Square(o); o.handler = std::make_shared<Listener>(); },
     [](Objects& o) {
         for (int i = 0; i < 100000; ++i) o.a->Connect(o.handler);
     }},
};

class OutOfMemory : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(OutOfMemory, RefusesCleanlyAtEveryAllocation) {
    const auto& [index, events] = GetParam();
    const Case& c = kCases[index];
    constexpr std::size_t kStep = 48 * 1024;
    constexpr std::size_t kMostMargin = 96u << 20;
    int refusals = 0;
    for (std::size_t margin = 0; margin <= kMostMargin; margin += kStep) {
        int outcome = RunLimited(c, events, margin);
        if (outcome == kSucceeded) {
            // The operation needed memory of its own and was refused at
            // least once, with its own error, before it had enough.
            if (!c.small) {
                EXPECT_GT(refusals, 0) << c.name << ": never refused with its own error";
            }
            return;
        }
        if (outcome == kRefusedOutOfMemory) {
            outcome = kRefusedCleanly;  // its own error could not be built
        } else if (outcome == kRefusedCleanly) {
            ++refusals;
        }
        ASSERT_EQ(outcome, kRefusedCleanly) << c.name << " with " << margin << " bytes to spare: "
                                            << OutcomeText(outcome);
    }
    ADD_FAILURE() << c.name << ": did not succeed with " << kMostMargin << " bytes to spare";
}

INSTANTIATE_TEST_SUITE_P(EveryAllocatingMember, OutOfMemory,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kCases))),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             std::string name = kCases[std::get<0>(info.param)].name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name + (std::get<1>(info.param) ? "_EventsOn" : "_EventsOff");
                         });

#endif  // KESTRIM_UNDER_ASAN

}  // namespace
}  // namespace kestrim::test
