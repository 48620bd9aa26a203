#include "MatrixReader.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "CsvReader.h"
#include "InputError.h"
#include "MatrixMarketReader.h"

namespace kestrim::cli {

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

MatrixFile ReadStream(std::istream& in, const std::string& name, bool mtxName, uint64_t maxElements) {
    MatrixFile file;
    if (mtxName || in.peek() == '%') {
        file.matrix = ReadMatrixMarket(in, name, maxElements);
        return file;
    }
    CsvDetails details;
    file.matrix = ReadCsv(in, name, &details);
    file.header = std::move(details.header);
    return file;
}

}  // namespace

MatrixFile ReadMatrixFile(const std::string& path, uint64_t maxElements) {
    if (path == "-") return ReadStream(std::cin, "<stdin>", false, maxElements);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw InputError(path, "is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path, std::string("cannot open: ") + std::strerror(errno));
    return ReadStream(in, path, EndsWith(path, ".mtx"), maxElements);
}

}  // namespace kestrim::cli
