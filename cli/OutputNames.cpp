#include "OutputNames.h"

namespace kestrim::cli {

std::vector<OutputTarget> PlanOutputs(const std::string& output, const std::optional<FileFormat>& format,
                                      const std::vector<std::string>& resultNames) {
    std::string stem = output;
    std::optional<FileFormat> fromName;
    for (FileFormat f : {FileFormat::Csv, FileFormat::MatrixMarket}) {
        const std::string ext = Extension(f);
        if (stem.size() > ext.size() && stem.compare(stem.size() - ext.size(), ext.size(), ext) == 0) {
            fromName = f;
            if (resultNames.size() > 1) stem.resize(stem.size() - ext.size());
        }
    }
    const FileFormat chosen = format.value_or(fromName.value_or(FileFormat::Csv));
    std::vector<OutputTarget> targets;
    for (const std::string& name : resultNames) {
        OutputTarget t;
        t.format = chosen;
        if (!output.empty())
            t.path = resultNames.size() == 1 ? output : stem + "_" + name + Extension(chosen);
        targets.push_back(std::move(t));
    }
    return targets;
}

}  // namespace kestrim::cli
