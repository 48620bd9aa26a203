// Registration, the class factory and unloading, through the DLL's entry
// points. Runs last: it unregisters the server and registers it again.
#include <string>

#include "ClientSupport.h"

namespace client {
namespace {

using namespace kestrim::automation;

std::wstring GuidText(const GUID& g) {
    wchar_t text[40] = {};
    StringFromGUID2(g, text, 40);
    return text;
}

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::wstring ReadString(const std::wstring& path, const wchar_t* name) {
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return value;
}

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && _wcsicmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

using EntryPoint = HRESULT(STDAPICALLTYPE*)();
using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

}  // namespace

CLIENT_GROUP(Registration) {
    const std::wstring clsidKey = L"CLSID\\" + GuidText(kMatrixClassId);
    const std::wstring libKey = L"TypeLib\\" + GuidText(kLibraryId);
    const std::wstring interfaceKey = L"Interface\\" + GuidText(kMatrixInterfaceId);
    const std::wstring eventsKey = L"Interface\\" + GuidText(kMatrixEventsId);

    // What regsvr32 wrote.
    CLSID fromProgId{};
    CHECK(SUCCEEDED(CLSIDFromProgID(L"KestrimMatrixLib.Matrix", &fromProgId)) && fromProgId == kMatrixClassId,
          "the programmatic identifier names the class");
    CHECK(EndsWithNoCase(ReadString(clsidKey + L"\\InprocServer32", nullptr), L"\\KestrimMatrix.dll"),
          "InprocServer32 names the DLL");
    CHECK(ReadString(clsidKey + L"\\InprocServer32", L"ThreadingModel") == L"Apartment", "apartment threading");
    CHECK(ReadString(clsidKey + L"\\ProgID", nullptr) == L"KestrimMatrixLib.Matrix", "ProgID under the class");
    CHECK(ReadString(clsidKey + L"\\TypeLib", nullptr) == GuidText(kLibraryId), "TypeLib under the class");
    CHECK(KeyExists(libKey + L"\\1.0"), "type library registered as 1.0");
    CHECK(KeyExists(interfaceKey) && KeyExists(eventsKey), "interfaces registered");

    HMODULE dll = LoadLibraryW(DllPath().c_str());
    CHECK(dll != nullptr, "LoadLibrary");
    if (!dll) return;
    auto getClassObject = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    auto canUnload = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    auto doRegister = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    auto doUnregister = reinterpret_cast<EntryPoint>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
    CHECK(getClassObject && canUnload && doRegister && doUnregister, "the four entry points are exported");
    if (!getClassObject || !canUnload || !doRegister || !doUnregister) return;

    // Every object of the earlier groups is released by now.
    CHECK(canUnload() == S_OK, "DllCanUnloadNow with no object left");

    // The class factory, straight from the DLL.
    Ptr<IClassFactory> factory;
    CHECK(getClassObject(kLibraryId, IID_IClassFactory, reinterpret_cast<void**>(factory.Out())) ==
              CLASS_E_CLASSNOTAVAILABLE,
          "DllGetClassObject for another class");
    CHECK_HR(getClassObject(kMatrixClassId, IID_IClassFactory, reinterpret_cast<void**>(factory.Out())),
             "DllGetClassObject");
    if (!factory) return;
    CHECK(canUnload() == S_FALSE, "a held factory keeps the DLL");
    Matrix m;
    CHECK(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.Get()), kMatrixInterfaceId,
                                  reinterpret_cast<void**>(m.Out())) == CLASS_E_NOAGGREGATION,
          "no aggregation");
    CHECK_HR(factory->CreateInstance(nullptr, kMatrixInterfaceId, reinterpret_cast<void**>(m.Out())), "CreateInstance");
    Ptr<IUnknown> unknown;
    CHECK(factory->CreateInstance(nullptr, IID_IClassFactory, reinterpret_cast<void**>(unknown.Out())) == E_NOINTERFACE,
          "CreateInstance for an interface the class lacks");
    CHECK_HR(factory->LockServer(TRUE), "LockServer(TRUE)");
    factory.Reset();
    long rows = 0;
    if (m) m->get_Rows(&rows);
    CHECK(rows == 1, "an object from the factory is a new Matrix");
    Matrix product;
    IMatrixDual* self = m.Get();
    m->Times(&self, product.Out());
    m.Reset();
    CHECK(canUnload() == S_FALSE, "a result object keeps the DLL");
    product.Reset();
    CHECK(canUnload() == S_FALSE, "a lock keeps the DLL");
    CHECK_HR(getClassObject(kMatrixClassId, IID_IClassFactory, reinterpret_cast<void**>(factory.Out())),
             "DllGetClassObject again");
    factory->LockServer(FALSE);
    factory.Reset();
    CHECK(canUnload() == S_OK, "DllCanUnloadNow once every object and lock is gone");

    // Unregistration removes exactly what registration wrote.
    CHECK(doUnregister() == S_OK, "DllUnregisterServer");
    CHECK(!KeyExists(clsidKey), "class key removed");
    CHECK(!KeyExists(L"KestrimMatrixLib.Matrix"), "programmatic identifier removed");
    CHECK(!KeyExists(libKey), "type library registration removed");
    CHECK(!KeyExists(interfaceKey) && !KeyExists(eventsKey), "interface keys removed");
    CHECK(KeyExists(L"CLSID") && KeyExists(L"Interface"), "nothing else removed");
    Matrix none;
    const HRESULT hr = CoCreateInstance(kMatrixClassId, nullptr, CLSCTX_INPROC_SERVER, kMatrixInterfaceId,
                                        reinterpret_cast<void**>(none.Out()));
    CHECK(hr == REGDB_E_CLASSNOTREG, WithHr("no creation while unregistered", hr));
    CHECK(doUnregister() == S_OK, "unregistering twice is harmless");

    CHECK(doRegister() == S_OK, "DllRegisterServer");
    CHECK(ReadString(clsidKey + L"\\InprocServer32", L"ThreadingModel") == L"Apartment", "registered again");
    Matrix again = NewMatrix();
    CHECK(static_cast<bool>(again), "creation after registering again");
    again.Reset();
    CoFreeUnusedLibraries();
    FreeLibrary(dll);
}

}  // namespace client
