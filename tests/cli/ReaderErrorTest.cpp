// Bad files are refused with file:line:column and a clear reason, and a
// huge declared size is refused before any storage is taken for it.
#include <gtest/gtest.h>

#include <sstream>

#include "CsvReader.h"
#include "InputError.h"
#include "MatrixMarketReader.h"

namespace kestrim::cli {
namespace {

struct BadInput {
    const char* text;
    const char* where;   // expected "f:line:column" prefix
    const char* reason;  // expected part of the message
};

template <typename Reader>
void ExpectRefused(const BadInput& c, Reader read) {
    std::istringstream in(c.text);
    try {
        read(in);
        ADD_FAILURE() << "accepted: " << c.text;
    } catch (const InputError& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind(std::string(c.where) + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
}

TEST(CsvReader, RefusesBadInput) {
    const BadInput cases[] = {
        {"", "f:1:1", "no numbers"},
        {"\n  \n", "f:3:1", "no numbers"},
        {"a,b\n", "f:2:1", "a header but no data rows"},
        {"1,2\n3\n", "f:2:2", "row has 1 fields, expected 2"},
        {"1,2\n3,4,5\n", "f:2:5", "row has 3 fields, expected 2"},
        {"1,2\n3,x\n", "f:2:3", "not a number: \"x\""},
        {"1,2,3\n4,,6\n", "f:2:3", "empty field"},
        {"1,2\n3,,\n", "f:2:4", "row has 3 fields, expected 2"},
        {"# only a comment\n", "f:2:1", "no numbers"},
        {"1;2\n3;1e999\n", "f:2:3", "number out of range"},
        {"1,\"2\n", "f:1:3", "unterminated quoted field"},
        {"\"1\"x,2\n", "f:1:4", "unexpected text after a quoted field"},
    };
    for (const BadInput& c : cases) ExpectRefused(c, [](std::istream& in) { ReadCsv(in, "f"); });
}

TEST(MatrixMarketReader, RefusesBadInput) {
    const BadInput cases[] = {
        {"", "f:1:1", "empty file"},
        {"1 2\n", "f:1:1", "not a Matrix Market file"},
        {"%%MatrixMarket matrix coordinate complex general\n", "f:1:34", "only real"},
        {"%%MatrixMarket matrix coordinate real hermitian\n", "f:1:39", "symmetry must be general or symmetric"},
        {"%%MatrixMarket matrix sparse real general\n", "f:1:23", "format must be coordinate or array"},
        {"%%MatrixMarket matrix array real general\n", "f:2:1", "missing size line"},
        {"%%MatrixMarket matrix array real general\n2 x\n", "f:2:3", "not a whole number"},
        {"%%MatrixMarket matrix array real general\n0 2\n", "f:2:1", "row count must be"},
        {"%%MatrixMarket matrix array real general\n2 2 2\n", "f:2:1", "rows columns"},
        // Declared sizes are checked against the limit before reading on.
        {"%%MatrixMarket matrix coordinate real general\n2000000000 2000000000 1\n1 1 1\n", "f:2:1",
         "exceeds the limit of 100 elements"},
        {"%%MatrixMarket matrix array real general\n99999999999999999999 1\n", "f:2:1", "too large"},
        {"%%MatrixMarket matrix coordinate real symmetric\n2 3 1\n", "f:2:1", "must be square"},
        {"%%MatrixMarket matrix coordinate real general\n2 2 5\n", "f:2:5", "exceeds the 4 positions"},
        {"%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 1\n", "f:4:1", "after 1 of 2 entries"},
        {"%%MatrixMarket matrix coordinate real general\n2 2 1\n1 1 1\n2 2 2\n", "f:4:1", "more entries"},
        {"%%MatrixMarket matrix coordinate real general\n2 2 1\n3 1 1\n", "f:3:1", "row index out of range"},
        {"%%MatrixMarket matrix coordinate real general\n2 2 1\n1  0 1\n", "f:3:4", "column index out of range"},
        {"%%MatrixMarket matrix coordinate real general\n2 2 1\n1 1 zz\n", "f:3:5", "not a number: \"zz\""},
        {"%%MatrixMarket matrix coordinate real general\n2 2 1\n1 1\n", "f:3:1", "row column value"},
        {"%%MatrixMarket matrix coordinate real symmetric\n2 2 1\n1 2 1\n", "f:3:3", "lower triangle"},
        {"%%MatrixMarket matrix coordinate real general\n2 2 2\n1 1 1\n1 1 2\n", "f:4:1", "given twice"},
        {"%%MatrixMarket matrix array real general\n1 2\n1\n", "f:4:1", "after 1 of 2 values"},
        {"%%MatrixMarket matrix array real general\n1 2\n1 2 3\n", "f:3:5", "more values"},
    };
    for (const BadInput& c : cases)
        ExpectRefused(c, [](std::istream& in) { ReadMatrixMarket(in, "f", 100); });
}

}  // namespace
}  // namespace kestrim::cli
