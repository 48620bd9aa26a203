// Writing a matrix and reading it back gives the same bits, in every file
// format and number style that is exact; numbers parse as documented.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <sstream>

#include "CsvReader.h"
#include "MatrixMarketReader.h"
#include "MatrixWriter.h"
#include "ValueFormat.h"
#include "ValueParse.h"

namespace kestrim::cli {
namespace {

// Values that are hard to write exactly: subnormals, extremes, negative
// zero, decimals with no short binary form.
DenseMatrix AwkwardMatrix() {
    const double lim = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    DenseMatrix m;
    m.rows = 3;
    m.cols = 4;
    m.values = {0.1, -0.0, lim, -tiny, 1.0 / 3.0, 2.5e-308, 123456789012345680.0, -1e-300,
                std::nextafter(1.0, 2.0), 0.0, 9007199254740993.0, -std::numeric_limits<double>::min()};
    return m;
}

void ExpectSameBits(const DenseMatrix& expected, const DenseMatrix& actual) {
    ASSERT_EQ(expected.rows, actual.rows);
    ASSERT_EQ(expected.cols, actual.cols);
    ASSERT_EQ(expected.values.size(), actual.values.size());
    for (std::size_t i = 0; i < expected.values.size(); ++i)
        EXPECT_EQ(std::bit_cast<uint64_t>(expected.values[i]), std::bit_cast<uint64_t>(actual.values[i]))
            << "element " << i << ": " << expected.values[i] << " read back as " << actual.values[i];
}

struct RoundTripCase {
    const char* name;
    FileFormat file;
    NumberStyle style;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, WriteThenReadGivesIdenticalBits) {
    const DenseMatrix m = AwkwardMatrix();
    NumberFormat format;
    format.style = GetParam().style;
    std::stringstream text;
    WriteMatrix(text, m, GetParam().file, format, "title");
    const DenseMatrix back = GetParam().file == FileFormat::Csv
                                 ? ReadCsv(text, "mem")
                                 : ReadMatrixMarket(text, "mem", 1000);
    ExpectSameBits(m, back);
}

INSTANTIATE_TEST_SUITE_P(Formats, RoundTrip,
                         ::testing::Values(RoundTripCase{"CsvShortest", FileFormat::Csv, NumberStyle::Shortest},
                                           RoundTripCase{"CsvHex", FileFormat::Csv, NumberStyle::Hex},
                                           RoundTripCase{"MtxShortest", FileFormat::MatrixMarket, NumberStyle::Shortest},
                                           RoundTripCase{"MtxHex", FileFormat::MatrixMarket, NumberStyle::Hex}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ValueFormat, Styles) {
    struct Case {
        double value;
        NumberStyle style;
        int precision;
        const char* text;
    } cases[] = {
        {0.1, NumberStyle::Shortest, 0, "0.1"},
        {-0.0, NumberStyle::Shortest, 0, "-0"},
        {1e21, NumberStyle::Shortest, 0, "1e+21"},
        {3.0, NumberStyle::Hex, 0, "0x1.8p+1"},
        {-3.0, NumberStyle::Hex, 0, "-0x1.8p+1"},
        {0.0, NumberStyle::Hex, 0, "0x0p+0"},
        {-INFINITY, NumberStyle::Hex, 0, "-inf"},
        {2.0 / 3.0, NumberStyle::Fixed, 4, "0.6667"},
        {-1.5, NumberStyle::Fixed, 0, "-2"},
        {1e300, NumberStyle::Fixed, kMaxPrecision, nullptr},  // must fit the buffer
    };
    for (const Case& c : cases) {
        NumberFormat f{c.style, c.precision};
        const std::string text = FormatValue(c.value, f);
        if (c.text) {
            EXPECT_EQ(text, c.text);
        } else {
            EXPECT_EQ(text.size(), 301u + 1u + kMaxPrecision);
        }
    }
}

TEST(ValueParse, AcceptsAndRefuses) {
    struct Case {
        const char* text;
        std::optional<ParseFailure> failure;
        double value;
    } cases[] = {
        {"1.5", {}, 1.5},
        {"+2", {}, 2.0},
        {"-0x1.8p+1", {}, -3.0},
        {"0X1P-2", {}, 0.25},
        {"-1e-3", {}, -1e-3},
        {"inf", {}, INFINITY},
        {"1e400", ParseFailure::OutOfRange, 0},
        {"", ParseFailure::NotANumber, 0},
        {"+-1", ParseFailure::NotANumber, 0},
        {"--1", ParseFailure::NotANumber, 0},
        {"1.5x", ParseFailure::NotANumber, 0},
        {"0x", ParseFailure::NotANumber, 0},
        {"1,5", ParseFailure::NotANumber, 0},
        {"abc", ParseFailure::NotANumber, 0},
    };
    for (const Case& c : cases) {
        const ParsedValue v = ParseValue(c.text);
        EXPECT_EQ(v.failure, c.failure) << c.text;
        if (!c.failure) {
            EXPECT_EQ(v.value, c.value) << c.text;
        }
    }
}

TEST(CsvReader, DelimitersHeaderAndQuotes) {
    struct Case {
        const char* text;
        char delimiter;
        std::vector<std::string> header;
    } cases[] = {
        {"1,2\n3,4\n", ',', {}},
        {"1;2\r\n3;4\r\n", ';', {}},
        {"1\t2\n\n3\t4\n\n", '\t', {}},
        {"\"x\",\"y\"\n1,2\n3,4\n", ',', {"x", "y"}},
        {"\xEF\xBB\xBF" "a;b\n 1 ; 2 \n\"3\";4\n", ';', {"a", "b"}},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.text);
        CsvDetails details;
        const DenseMatrix m = ReadCsv(in, "mem", &details);
        EXPECT_EQ(details.delimiter, c.delimiter) << c.text;
        EXPECT_EQ(details.header, c.header) << c.text;
        ASSERT_EQ(m.rows, 2) << c.text;
        ASSERT_EQ(m.cols, 2) << c.text;
        EXPECT_EQ(m.values, (std::vector<double>{1, 3, 2, 4})) << c.text;  // column-major
    }
}

TEST(MatrixMarketReader, CoordinateArrayAndSymmetric) {
    struct Case {
        const char* text;
        std::vector<double> values;  // column-major, 2 x 2
    } cases[] = {
        {"%%MatrixMarket matrix coordinate real general\n% comment\n2 2 2\n1 1 5\n2 1 -1.5\n", {5, -1.5, 0, 0}},
        {"%%MatrixMarket matrix coordinate real symmetric\n2 2 2\n1 1 1\n2 1 7\n", {1, 7, 7, 0}},
        {"%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n4\n", {1, 2, 3, 4}},
        {"%%MatrixMarket matrix array integer symmetric\n2 2\n1\n2\n3\n", {1, 2, 2, 3}},
        {"%%matrixmarket MATRIX Array Real General\r\n2 2\r\n1 2\r\n3 4\r\n", {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.text);
        const DenseMatrix m = ReadMatrixMarket(in, "mem", 100);
        EXPECT_EQ(m.rows, 2) << c.text;
        EXPECT_EQ(m.cols, 2) << c.text;
        EXPECT_EQ(m.values, c.values) << c.text;
    }
}

}  // namespace
}  // namespace kestrim::cli
