#include "host/automation/Registration.h"

#include <cwchar>
#include <string>

#include "host/automation/ComIds.h"

namespace kestrim::automation::registration {

namespace {

// The registry view of the other build: a 64-bit process sees the 32-bit
// view through KEY_WOW64_32KEY and the other way round. On 32-bit Windows
// the flag is ignored and both name the one view.
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

// The runtime's proxy classes for automation interfaces: dual interfaces
// (PSOAInterface) and dispinterfaces (PSDispatch).
constexpr wchar_t kDualProxy[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kDispatchProxy[] = L"{00020420-0000-0000-C000-000000000046}";

struct Root {
    HKEY key;
    std::wstring prefix;  // path of the classes below `key`
};

Root RootOf(Scope scope) {
    if (scope == Scope::User) return {HKEY_CURRENT_USER, L"Software\\Classes\\"};
    return {HKEY_CLASSES_ROOT, L""};
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(kMatrixClassId); }
std::wstring LibraryKey() { return L"TypeLib\\" + GuidText(kLibraryId); }
std::wstring VersionKey() {
    return LibraryKey() + L"\\" + std::to_wstring(kLibraryMajor) + L"." + std::to_wstring(kLibraryMinor);
}
std::wstring LocaleKey() {
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"%lx", static_cast<unsigned long>(kLibraryLocale));
    return VersionKey() + L"\\" + text;
}
std::wstring InterfaceKey(const GUID& iid) { return L"Interface\\" + GuidText(iid); }

HRESULT FromWin32(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc); }

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Creates <root>\<path> with a default value (and optionally one named
// value).
HRESULT WriteKey(const Root& root, const std::wstring& path, const std::wstring& value,
                 const wchar_t* name = nullptr, const std::wstring& namedValue = std::wstring()) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root.key, (root.prefix + path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    rc = SetString(key, nullptr, value);
    if (rc == ERROR_SUCCESS && name) rc = SetString(key, name, namedValue);
    RegCloseKey(key);
    return FromWin32(rc);
}

bool KeyExists(const Root& root, const std::wstring& path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root.key, (root.prefix + path).c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// True when the key has a subkey other than the ones named.
bool HasOtherSubkeys(const Root& root, const std::wstring& path, const wchar_t* ignore1 = nullptr,
                     const wchar_t* ignore2 = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root.key, (root.prefix + path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    bool found = false;
    wchar_t name[256];
    for (DWORD i = 0; !found; ++i) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        found = !(ignore1 && _wcsicmp(name, ignore1) == 0) && !(ignore2 && _wcsicmp(name, ignore2) == 0);
    }
    RegCloseKey(key);
    return found;
}

HRESULT DeleteTree(const Root& root, const std::wstring& path) {
    const std::wstring full = root.prefix + path;
    const LONG rc = RegDeleteTreeW(root.key, full.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(root.key, full.c_str());
        return S_OK;
    }
    return HRESULT_FROM_WIN32(rc);
}

// Whether <root>\<path> is one key for both registry views: a value set
// through this view is then visible through the other.
bool SharedWithOtherView(const Root& root, const std::wstring& path) {
    const std::wstring full = root.prefix + path;
    HKEY own = nullptr, other = nullptr;
    if (RegOpenKeyExW(root.key, full.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &own) != ERROR_SUCCESS)
        return false;
    bool shared = false;
    if (RegOpenKeyExW(root.key, full.c_str(), 0, KEY_QUERY_VALUE | kOtherView, &other) == ERROR_SUCCESS) {
        const wchar_t* probe = L"KestrimMatrixViewProbe";
        const DWORD one = 1;
        if (RegSetValueExW(own, probe, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one) ==
            ERROR_SUCCESS) {
            shared = RegQueryValueExW(other, probe, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
            RegDeleteValueW(own, probe);
        }
        RegCloseKey(other);
    }
    RegCloseKey(own);
    return shared;
}

// How a key that both builds write is shared between the registry views.
enum class Sharing {
    Always,  // programmatic identifiers: one key for both views on every
             // system (a 64-bit process cannot always open it through the
             // 32-bit view, so probing would not tell)
    Probe,   // class and interface keys: per view on Windows, but the
             // current user's are shared under Wine
};

// Removes a key that both builds write, unless the other build is still
// registered and sees this very key.
HRESULT DeleteUnlessShared(Scope scope, const std::wstring& path, Sharing sharing) {
    const Root root = RootOf(scope);
    if (OtherBuildRegistered(scope) && (sharing == Sharing::Always || SharedWithOtherView(root, path)))
        return S_OK;
    return DeleteTree(root, path);
}

HRESULT DeleteInterfaceKeys(Scope scope) {
    const HRESULT dual = DeleteUnlessShared(scope, InterfaceKey(kMatrixInterfaceId), Sharing::Probe);
    const HRESULT events = DeleteUnlessShared(scope, InterfaceKey(kMatrixEventsId), Sharing::Probe);
    return FAILED(dual) ? dual : events;
}

}  // namespace

const wchar_t* PlatformKeyName() { return kTargetSysKind == SYS_WIN64 ? L"win64" : L"win32"; }

bool ThisBuildRegistered(Scope scope) {
    return KeyExists(RootOf(scope), LocaleKey() + L"\\" + PlatformKeyName());
}

bool OtherBuildRegistered(Scope scope) {
    const std::wstring other = kTargetSysKind == SYS_WIN64 ? L"win32" : L"win64";
    return KeyExists(RootOf(scope), LocaleKey() + L"\\" + other);
}

HRESULT WriteClass(Scope scope, const std::wstring& dllPath) {
    const Root root = RootOf(scope);
    const std::wstring cls = ClassKey(), progId = kProgIdW;
    const HRESULT steps[] = {
        WriteKey(root, cls, progId),
        WriteKey(root, cls + L"\\InprocServer32", dllPath, L"ThreadingModel", L"Apartment"),
        WriteKey(root, cls + L"\\ProgID", progId),
        WriteKey(root, cls + L"\\TypeLib", GuidText(kLibraryId)),
        WriteKey(root, cls + L"\\Version", L"1.0"),
        WriteKey(root, progId, progId),
        WriteKey(root, progId + L"\\CLSID", GuidText(kMatrixClassId)),
    };
    for (HRESULT step : steps)
        if (FAILED(step)) return step;
    return S_OK;
}

HRESULT RemoveClass(Scope scope) {
    const HRESULT classKey = DeleteUnlessShared(scope, ClassKey(), Sharing::Probe);
    const HRESULT progIdKey = DeleteUnlessShared(scope, kProgIdW, Sharing::Always);
    return FAILED(classKey) ? classKey : progIdKey;
}

HRESULT WriteUserTypeLibrary(ITypeLib* library, const std::wstring& dllPath) {
    const Root root = RootOf(Scope::User);
    BSTR name = nullptr, doc = nullptr;
    HRESULT hr = library->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    const std::wstring title = doc && *doc ? doc : (name ? name : L"");
    SysFreeString(name);
    SysFreeString(doc);
    TLIBATTR* attr = nullptr;
    hr = library->GetLibAttr(&attr);
    if (FAILED(hr)) return hr;
    const std::wstring flags = std::to_wstring(attr->wLibFlags);
    library->ReleaseTLibAttr(attr);
    const std::wstring folder = dllPath.substr(0, dllPath.find_last_of(L"\\/"));
    const std::wstring libraryId = GuidText(kLibraryId);

    struct InterfaceEntry {
        const GUID& iid;
        const wchar_t* name;
        const wchar_t* proxy;
    };
    const InterfaceEntry interfaces[] = {{kMatrixInterfaceId, L"_Matrix", kDualProxy},
                                         {kMatrixEventsId, L"__Matrix", kDispatchProxy}};
    // Writes in order and stops at the first failure.
    hr = S_OK;
    auto write = [&](const std::wstring& path, const std::wstring& value, const wchar_t* name = nullptr,
                     const std::wstring& namedValue = std::wstring()) {
        if (SUCCEEDED(hr)) hr = WriteKey(root, path, value, name, namedValue);
    };
    write(VersionKey(), title);
    write(VersionKey() + L"\\FLAGS", flags);
    write(VersionKey() + L"\\HELPDIR", folder);
    for (const InterfaceEntry& entry : interfaces) {
        const std::wstring key = InterfaceKey(entry.iid);
        write(key, entry.name);
        write(key + L"\\ProxyStubClsid", entry.proxy);
        write(key + L"\\ProxyStubClsid32", entry.proxy);
        write(key + L"\\TypeLib", libraryId, L"Version", L"1.0");
    }
    if (FAILED(hr)) return hr;
    // The file entry last: its presence marks this build as registered.
    return WriteKey(root, LocaleKey() + L"\\" + PlatformKeyName(), dllPath);
}

HRESULT RemoveUserTypeLibrary() {
    const Root root = RootOf(Scope::User);
    HRESULT result = DeleteInterfaceKeys(Scope::User);
    // The library's key is shared by both builds: this build's file entry
    // goes; the rest only when no other build's entry is left.
    const HRESULT file = DeleteTree(root, LocaleKey() + L"\\" + PlatformKeyName());
    if (SUCCEEDED(result)) result = file;
    if (!HasOtherSubkeys(root, LocaleKey())) DeleteTree(root, LocaleKey());
    if (!HasOtherSubkeys(root, VersionKey(), L"FLAGS", L"HELPDIR")) {
        const HRESULT version = DeleteTree(root, VersionKey());
        if (SUCCEEDED(result)) result = version;
        if (!HasOtherSubkeys(root, LibraryKey())) DeleteTree(root, LibraryKey());
    }
    return result;
}

HRESULT RemoveMachineTypeLibrary() {
    // A library that this build has not registered is not an error.
    if (!ThisBuildRegistered(Scope::Machine)) return S_OK;
    if (!OtherBuildRegistered(Scope::Machine))
        return UnRegisterTypeLib(kLibraryId, kLibraryMajor, kLibraryMinor, kLibraryLocale, kTargetSysKind);
    // The runtime's removal would also take the interface keys that the
    // other build still uses: only this build's own entries go.
    const HRESULT interfaces = DeleteInterfaceKeys(Scope::Machine);
    const HRESULT file = DeleteTree(RootOf(Scope::Machine), LocaleKey() + L"\\" + PlatformKeyName());
    return FAILED(interfaces) ? interfaces : file;
}

}  // namespace kestrim::automation::registration
