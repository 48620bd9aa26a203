// Fixed facts about the component.
#pragma once

namespace kestrim::component {

inline constexpr int kVersionMajor = 2;
inline constexpr int kVersionMinor = 1;
inline constexpr int kVersionRevision = 435;
inline constexpr const char* kProgId = "KestrimMatrixLib.Matrix";
inline constexpr const char* kHelpFileName = "KTMatrixLib.CHM";

}  // namespace kestrim::component
