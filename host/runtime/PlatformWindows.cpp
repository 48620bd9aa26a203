#include <windows.h>

#include <string>

#include "host/runtime/Platform.h"

namespace kestrim::platform {

std::string LibraryFolder() {
    // The DLL (or executable) that contains this function.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&LibraryFolder), &module))
        return ".";
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return ".";
    path.resize(length);
    const auto slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return ".";
    // A root folder keeps its separator: "C:\".
    std::wstring folder = path.substr(0, slash == 2 && path[1] == L':' ? slash + 1 : slash);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), static_cast<int>(folder.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), static_cast<int>(folder.size()), utf8.data(),
                        bytes, nullptr, nullptr);
    return utf8;
}

}  // namespace kestrim::platform
