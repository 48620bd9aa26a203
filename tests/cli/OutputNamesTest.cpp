// Results go to standard output, to the -o file, or to <prefix>_<name>
// files, in the format that --format or the file name asks for.
#include <gtest/gtest.h>

#include "OutputNames.h"

namespace kestrim::cli {
namespace {

TEST(OutputNames, PathsAndFormats) {
    using F = FileFormat;
    struct Case {
        const char* output;
        std::optional<F> format;
        std::vector<std::string> names;
        std::vector<std::string> paths;
        F expected;
    } cases[] = {
        {"", {}, {"x"}, {""}, F::Csv},
        {"", F::MatrixMarket, {"Q", "R"}, {"", ""}, F::MatrixMarket},
        {"x.mtx", {}, {"x"}, {"x.mtx"}, F::MatrixMarket},
        {"x.txt", {}, {"x"}, {"x.txt"}, F::Csv},
        {"x.csv", F::MatrixMarket, {"x"}, {"x.csv"}, F::MatrixMarket},
        {"out", {}, {"L", "U"}, {"out_L.csv", "out_U.csv"}, F::Csv},
        {"out.mtx", {}, {"L", "U"}, {"out_L.mtx", "out_U.mtx"}, F::MatrixMarket},
        {"dir/out", F::MatrixMarket, {"Q", "R"}, {"dir/out_Q.mtx", "dir/out_R.mtx"}, F::MatrixMarket},
    };
    for (const Case& c : cases) {
        const auto targets = PlanOutputs(c.output, c.format, c.names);
        ASSERT_EQ(targets.size(), c.paths.size()) << c.output;
        for (std::size_t i = 0; i < targets.size(); ++i) {
            EXPECT_EQ(targets[i].path, c.paths[i]) << c.output;
            EXPECT_EQ(targets[i].format, c.expected) << c.output;
        }
    }
}

}  // namespace
}  // namespace kestrim::cli
