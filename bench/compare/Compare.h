// Shared pieces of the side-by-side comparison program.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace compare {

struct Ceiling {
    double noFma = 0;  // GFLOP/s, separate multiply and add
    double fma = 0;    // GFLOP/s, fused multiply-add (0 when not measured)
    const char* isa = "scalar";
};

// Measures the ceilings of one core.
Ceiling ProbeCeiling();

// What a timing measures. The machine may be shared: the calling thread's
// CPU time leaves out the time it waited for a core, which makes one-thread
// figures comparable; a run on several threads needs wall-clock time.
enum class Clock { ThreadCpu, Wall };

// Seconds on `clock` now.
double Now(Clock clock);

// The best (smallest) of `reps` timings of `run`, in milliseconds; `setup`
// runs before each timing and is not timed.
double BestMs(int reps, const std::function<void()>& setup, const std::function<void()>& run,
              Clock clock = Clock::ThreadCpu);

// The operations named on the command line (empty: all). An operation is
// timed when its name contains one of the words, ignoring case; the main
// table is left out when none of its operations matches.
std::vector<std::string>& OnlyWords();
bool Wanted(const std::string& name);

// One comparison: an operation of the library and its counterpart.
struct Entry {
    std::string name;
    std::string counterpart;
    double flops;  // at this n
    double oursMs1;  // one thread (thread CPU time)
    double oursWall1;  // one thread, wall clock
    double oursWall2;  // two threads, wall clock
    double theirsMs;  // counterpart, one thread
};


// Further sections of the report, defined in other files of this program:
// each runs once, after the main table, with the sizes given on the command
// line (empty: its own defaults), and prints its own table.
using Section = void (*)(const std::vector<int>& requested);
inline std::vector<Section>& Sections() {
    static std::vector<Section> sections;
    return sections;
}
struct AddSection {
    explicit AddSection(Section section) { Sections().push_back(section); }
};

}  // namespace compare
