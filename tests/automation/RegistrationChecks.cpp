// Registration, class factory and unloading through the DLL's entry points, and
// main: automation_client <KestrimMatrix.dll as registered> [<native digests>]
// runs every group.
#include "ClientSupport.h"

namespace client {
namespace {
std::wstring g_dllPath;
std::wstring Key(const wchar_t* kind, const GUID& g) {
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return kind + std::wstring(text);
}
bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    return RegCloseKey(key), true;
}
std::wstring Value(const std::wstring& path, const wchar_t* name = nullptr) {
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) ? L"" : value;
}

}  // namespace
const std::wstring& DllPath() { return g_dllPath; }

CLIENT_GROUP(Registration) {
    const std::wstring cls = Key(L"CLSID\\", kMatrixClassId), keys[] = {cls, Key(L"TypeLib\\", kLibraryId),
        Key(L"Interface\\", kMatrixInterfaceId), Key(L"Interface\\", kMatrixEventsId), L"KestrimMatrixLib.Matrix"};
    CLSID fromProgId{};
    CHECK(SUCCEEDED(CLSIDFromProgID(L"KestrimMatrixLib.Matrix", &fromProgId)) && fromProgId == kMatrixClassId &&
              EndsWith(Value(cls + L"\\InprocServer32"), L"\\KestrimMatrix.dll") &&
              Value(cls + L"\\InprocServer32", L"ThreadingModel") == L"Apartment" &&
              Value(cls + L"\\ProgID") == keys[4] && Value(cls + L"\\TypeLib") == keys[1].substr(8) &&
              KeyExists(keys[1] + L"\\1.0") && KeyExists(keys[2]) && KeyExists(keys[3]),
          "registry entries of the class, library and interfaces");
    HMODULE dll = LoadLibraryW(DllPath().c_str());
    auto entry = [dll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    auto get = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(entry("DllGetClassObject"));
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto canUnload = Entry(entry("DllCanUnloadNow")), doRegister = Entry(entry("DllRegisterServer")),
         doUnregister = Entry(entry("DllUnregisterServer"));
    CHECK(get && canUnload && doRegister && doUnregister, "the four entry points are exported");
    if (!get || !canUnload || !doRegister || !doUnregister) return;
    // Every object of the earlier groups is released by now.
    CHECK(canUnload() == S_OK, "DllCanUnloadNow with no object left");
    Ptr<IClassFactory> factory;
    CHECK(get(kLibraryId, IID_IClassFactory, reinterpret_cast<void**>(factory.Out())) == CLASS_E_CLASSNOTAVAILABLE &&
              SUCCEEDED(get(kMatrixClassId, IID_IClassFactory, reinterpret_cast<void**>(factory.Out()))), "DllGetClassObject");
    if (!factory) return;
    CHECK(canUnload() == S_FALSE, "a held factory keeps the DLL");
    Matrix m, product;
    CHECK(factory->CreateInstance(factory.Get(), kMatrixInterfaceId, reinterpret_cast<void**>(m.Out())) ==
              CLASS_E_NOAGGREGATION, "no aggregation");
    long rows = 0;
    CHECK(SUCCEEDED(factory->CreateInstance(nullptr, kMatrixInterfaceId, reinterpret_cast<void**>(m.Out()))) &&
              SUCCEEDED(m->get_Rows(&rows)) && rows == 1 && SUCCEEDED(factory->LockServer(TRUE)),
          "CreateInstance gives a new Matrix; LockServer");
    factory.Reset();
    IMatrixDual* self = m.Get();
    if (m) m->Times(&self, product.Out());
    m.Reset();
    CHECK(canUnload() == S_FALSE, "a result object keeps the DLL");
    product.Reset();
    CHECK(canUnload() == S_FALSE, "a lock keeps the DLL");
    if (SUCCEEDED(get(kMatrixClassId, IID_IClassFactory, reinterpret_cast<void**>(factory.Out()))))
        factory->LockServer(FALSE);
    factory.Reset();
    CHECK(canUnload() == S_OK, "DllCanUnloadNow once every object and lock is gone");
    // Unregistration removes exactly what registration wrote; twice is harmless.
    CHECK(doUnregister() == S_OK && doUnregister() == S_OK, "DllUnregisterServer");
    bool removed = KeyExists(L"CLSID") && KeyExists(L"Interface");
    for (const auto& key : keys) removed = removed && !KeyExists(key);
    CHECK(removed, "the server's keys removed, nothing else");
    Matrix none;
    CHECK(Create(none) == REGDB_E_CLASSNOTREG, "no creation while unregistered");
    CHECK(doRegister() == S_OK && static_cast<bool>(NewMatrix()), "DllRegisterServer, then creation again");
    CoFreeUnusedLibraries();
    FreeLibrary(dll);
}

}  // namespace client

// The registration groups unregister and register again: they run last.
int wmain(int argc, wchar_t** argv) {
    using namespace client;
    if (argc < 2 || FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    g_dllPath = argv[1];
    if (argc >= 3 && !LoadNativeDigests(argv[2])) {
        std::printf("no native digests in the file given\n");
        return 2;
    }
    const std::pair<const char*, void (*)()> groups[] = {{"BitIdentity", BitIdentity}, {"TypeLibrary", TypeLibrary},
        {"Events", Events}, {"Dispatch", Dispatch}, {"Arrays", Arrays}, {"Errors", Errors}, {"Outputs", Outputs},
        {"HostStates", HostStates}, {"Accounting", Accounting}, {"Soak", Soak}, {"Registration", Registration},
        {"UserRegistration", UserRegistration}};
    for (const auto& [name, body] : groups) {
        if (body == BitIdentity && argc < 3) continue;
        const int before = Results().failed;
        body();
        std::printf("%-20s %s\n", name, Results().failed == before ? "ok" : "FAILED");
    }
    CoUninitialize();
    std::printf("%d passed, %d failed\n", Results().passed, Results().failed);
    return Results().failed == 0 ? 0 : 1;
}
