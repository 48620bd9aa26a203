// Per-user registration through DllInstall: the keys it writes under
// HKEY_CURRENT_USER\Software\Classes, a server created from them, and their
// removal. Runs after Registration, with the machine-wide registration
// removed meanwhile and written again at the end.
#include "ClientSupport.h"

namespace client {
namespace {
const std::wstring kClasses = L"Software\\Classes\\";
std::wstring Guid(const GUID& g) {
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}
bool UserKeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (kClasses + path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    return RegCloseKey(key), true;
}
std::wstring UserValue(const std::wstring& path, const wchar_t* name = nullptr) {
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_CURRENT_USER, (kClasses + path).c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) ? L""
                                                                                                                : value;
}
bool MachineKeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kClasses + path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    return RegCloseKey(key), true;
}
using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Loads the server named by the per-user class key and creates a Matrix
// through its class factory, as COM does from that key.
bool CreateFromUserKeys(const std::wstring& serverPath) {
    HMODULE server = LoadLibraryW(serverPath.c_str());
    auto get = server ? reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(server, "DllGetClassObject"))) : nullptr;
    Ptr<IClassFactory> factory;
    Matrix m;
    long rows = 0;
    const bool ok = get && SUCCEEDED(get(kMatrixClassId, IID_IClassFactory, reinterpret_cast<void**>(factory.Out()))) &&
                    SUCCEEDED(factory->CreateInstance(nullptr, kMatrixInterfaceId, reinterpret_cast<void**>(m.Out()))) &&
                    SUCCEEDED(m->Size(2, 3)) && SUCCEEDED(m->get_Rows(&rows)) && rows == 2;
    m.Reset(), factory.Reset();
    if (server) FreeLibrary(server);
    return ok;
}
}  // namespace

CLIENT_GROUP(UserRegistration) {
    HMODULE dll = LoadLibraryW(DllPath().c_str());
    auto entry = [dll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    auto install = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR)>(entry("DllInstall"));
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto doRegister = Entry(entry("DllRegisterServer")), doUnregister = Entry(entry("DllUnregisterServer"));
    CHECK(install && doRegister && doUnregister, "DllInstall is exported");
    if (!install || !doRegister || !doUnregister) return;
    CHECK(install(TRUE, nullptr) == E_INVALIDARG && install(TRUE, L"machine") == E_INVALIDARG &&
              install(FALSE, L"") == E_INVALIDARG, "DllInstall accepts only the command line \"user\"");

    const std::wstring cls = L"CLSID\\" + Guid(kMatrixClassId), lib = L"TypeLib\\" + Guid(kLibraryId),
                       file = lib + L"\\1.0\\409\\" + (sizeof(void*) == 8 ? L"win64" : L"win32"),
                       dual = L"Interface\\" + Guid(kMatrixInterfaceId), events = L"Interface\\" + Guid(kMatrixEventsId),
                       progId = L"KestrimMatrixLib.Matrix";
    CHECK(doUnregister() == S_OK && !MachineKeyExists(cls), "machine-wide registration removed first");
    CHECK(install(TRUE, L"User") == S_OK, "DllInstall(TRUE, \"user\")");
    const std::wstring server = UserValue(cls + L"\\InprocServer32");
    CHECK(EndsWith(server, L"\\KestrimMatrix.dll") && UserValue(cls + L"\\InprocServer32", L"ThreadingModel") == L"Apartment" &&
              UserValue(cls + L"\\ProgID") == progId && UserValue(cls + L"\\TypeLib") == Guid(kLibraryId) &&
              UserValue(progId + L"\\CLSID") == Guid(kMatrixClassId),
          "per-user class, threading model and programmatic identifier");
    CHECK(UserValue(file) == server && UserKeyExists(lib + L"\\1.0\\FLAGS") && UserKeyExists(lib + L"\\1.0\\HELPDIR") &&
              UserValue(dual) == L"_Matrix" && UserValue(dual + L"\\TypeLib") == Guid(kLibraryId) &&
              UserValue(dual + L"\\TypeLib", L"Version") == L"1.0" && UserValue(events) == L"__Matrix" &&
              !UserValue(dual + L"\\ProxyStubClsid32").empty() && !UserValue(events + L"\\ProxyStubClsid32").empty(),
          "per-user type library and interface keys");
    CHECK(!MachineKeyExists(cls) && !MachineKeyExists(progId), "nothing written machine-wide");
    CHECK(CreateFromUserKeys(server), "a Matrix created through the server the per-user keys name");
    Ptr<ITypeLib> library;
    CHECK(SUCCEEDED(LoadTypeLibEx(UserValue(file).c_str(), REGKIND_NONE, library.Out())), "the registered type library loads");
    library.Reset();
    // Where the platform merges the user's classes into HKEY_CLASSES_ROOT (Windows;
    // not Wine 8), COM finds the class by its programmatic identifier.
    HKEY merged = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, cls.c_str(), 0, KEY_READ, &merged) == ERROR_SUCCESS) {
        RegCloseKey(merged);
        CHECK(static_cast<bool>(NewMatrix()), "CoCreateInstance through the per-user registration");
    }

    CHECK(install(FALSE, L"user") == S_OK && install(FALSE, L"user") == S_OK, "DllInstall(FALSE, \"user\"), twice");
    bool removed = true;
    for (const auto& key : {cls, progId, lib, dual, events}) removed = removed && !UserKeyExists(key);
    CHECK(removed, "every per-user key removed");
    CHECK(doRegister() == S_OK, "machine-wide registration written again");
    FreeLibrary(dll);
}

}  // namespace client
