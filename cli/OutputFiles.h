// Output files appear whole or not at all: each is written to a temporary
// file beside its final name and renamed into place by Commit, after every
// output has been written. Staged files that are not committed (an error,
// Ctrl-C) are removed.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kestrim::cli {

class OutputFiles {
public:
    OutputFiles() = default;
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;
    ~OutputFiles();

    // Writes one file's contents to its temporary file. Failures raise
    // InputError naming `path`.
    void Stage(const std::string& path, const std::function<void(std::ostream&)>& write);
    // Moves every staged file to its final name.
    void Commit();
    // Removes every staged file.
    void Discard() noexcept;

private:
    struct Staged {
        std::string finalPath;
        std::string tempPath;
    };
    std::vector<Staged> staged_;
};

}  // namespace kestrim::cli
