// The DLL's entry points: loading, the class factory, registration and
// unloading.
#include "host/automation/Module.h"

#include <oleauto.h>
#include <olectl.h>

#include <mutex>
#include <new>
#include <string>

#include "host/automation/ComIds.h"
#include "host/automation/MatrixObject.h"
#include "kestrim/Matrix.h"

namespace kestrim::automation {

namespace {

HMODULE g_module = nullptr;
LONG g_objects = 0;
LONG g_locks = 0;

std::wstring ModulePath() {
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return std::wstring();
    path.resize(n);
    return path;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT LoadOwnTypeLib(ITypeLib** library) {
    const std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

// Records the methods' by-reference parameters that Invoke prepares.
std::vector<MemberShape> FindRefParams(ITypeInfo* info) {
    std::vector<MemberShape> shapes;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return shapes;
    const WORD funcs = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT f = 0; f < funcs; ++f) {
        FUNCDESC* desc = nullptr;
        if (FAILED(info->GetFuncDesc(f, &desc))) continue;
        if (desc->invkind == INVOKE_FUNC) {
            MemberShape shape{desc->memid, 0, {}};
            for (SHORT p = 0; p < desc->cParams; ++p) {
                const ELEMDESC& e = desc->lprgelemdescParam[p];
                const USHORT flags = e.paramdesc.wParamFlags;
                if (flags & PARAMFLAG_FRETVAL) continue;
                ++shape.paramCount;
                if (e.tdesc.vt != VT_PTR || !e.tdesc.lptdesc) continue;
                const bool optional = (flags & PARAMFLAG_FOPT) && !(flags & PARAMFLAG_FHASDEFAULT);
                const TYPEDESC& target = *e.tdesc.lptdesc;
                VARTYPE type = VT_EMPTY;
                if (optional && target.vt == VT_I4) type = VT_I4;
                if (optional && target.vt == VT_R8) type = VT_R8;
                if (target.vt == VT_PTR && target.lptdesc && target.lptdesc->vt == VT_USERDEFINED) type = VT_DISPATCH;
                if (type != VT_EMPTY) shape.refs.push_back({p, type, optional});
            }
            if (!shape.refs.empty()) shapes.push_back(std::move(shape));
        }
        info->ReleaseFuncDesc(desc);
    }
    return shapes;
}

std::mutex g_typeInfoMutex;
TypeInfos g_typeInfos;
bool g_typeInfosLoaded = false;

HRESULT LoadTypeInfos(TypeInfos& t) {
    HRESULT hr = LoadOwnTypeLib(&t.library);
    if (FAILED(hr)) return hr;
    // For a dual interface the library hands out the dispatch view; the
    // vtable view is its "implemented type" -1.
    hr = t.library->GetTypeInfoOfGuid(kMatrixInterfaceId, &t.dispatch);
    if (FAILED(hr)) return hr;
    HREFTYPE vtableRef = 0;
    hr = t.dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef);
    if (FAILED(hr)) return hr;
    hr = t.dispatch->GetRefTypeInfo(vtableRef, &t.vtable);
    if (FAILED(hr)) return hr;
    hr = t.library->GetTypeInfoOfGuid(kMatrixClassId, &t.coclass);
    if (FAILED(hr)) return hr;
    t.methodsWithRefs = FindRefParams(t.vtable);
    return S_OK;
}

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    // The factory is static; references to it count as server locks.
    ULONG STDMETHODCALLTYPE AddRef() override {
        LockModule(true);
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        LockModule(false);
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        IMatrixDual* object = nullptr;
        try {
            object = MatrixObject::Wrap(kestrim::Matrix::New());
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        LockModule(lock != FALSE);
        return S_OK;
    }
};

ClassFactory g_factory;

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Creates HKEY_CLASSES_ROOT\<path> with a default value (and optionally one
// named value).
HRESULT WriteKey(const std::wstring& path, const std::wstring& value, const wchar_t* name = nullptr,
                 const std::wstring& namedValue = std::wstring()) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
    rc = SetString(key, nullptr, value);
    if (rc == ERROR_SUCCESS && name) rc = SetString(key, name, namedValue);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT DeleteTree(const std::wstring& path) {
    const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
        RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
        return S_OK;
    }
    return HRESULT_FROM_WIN32(rc);
}

}  // namespace

void ObjectCreated() { InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { InterlockedDecrement(&g_objects); }
void LockModule(bool lock) { lock ? InterlockedIncrement(&g_locks) : InterlockedDecrement(&g_locks); }

const TypeInfos* GetTypeInfos(HRESULT* hr) {
    std::lock_guard<std::mutex> lock(g_typeInfoMutex);
    if (!g_typeInfosLoaded) {
        TypeInfos loaded;
        HRESULT status = E_OUTOFMEMORY;
        try {
            status = LoadTypeInfos(loaded);
        } catch (const std::bad_alloc&) {
        }
        if (FAILED(status)) {
            if (loaded.vtable) loaded.vtable->Release();
            if (loaded.dispatch) loaded.dispatch->Release();
            if (loaded.coclass) loaded.coclass->Release();
            if (loaded.library) loaded.library->Release();
            if (hr) *hr = status;
            return nullptr;
        }
        g_typeInfos = std::move(loaded);
        g_typeInfosLoaded = true;
    }
    if (hr) *hr = S_OK;
    return &g_typeInfos;
}

}  // namespace kestrim::automation

using namespace kestrim::automation;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != kMatrixClassId) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    const std::wstring path = ModulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    ITypeLib* library = nullptr;
    HRESULT hr = LoadOwnTypeLib(&library);
    if (FAILED(hr)) return SELFREG_E_TYPELIB;
    std::wstring folder = path.substr(0, path.find_last_of(L"\\/"));
    hr = RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()), const_cast<LPOLESTR>(folder.c_str()));
    library->Release();
    if (FAILED(hr)) return SELFREG_E_TYPELIB;

    const std::wstring clsid = L"CLSID\\" + GuidText(kMatrixClassId);
    const std::wstring progId = kProgIdW;
    const HRESULT steps[] = {
        WriteKey(clsid, progId),
        WriteKey(clsid + L"\\InprocServer32", path, L"ThreadingModel", L"Apartment"),
        WriteKey(clsid + L"\\ProgID", progId),
        WriteKey(clsid + L"\\TypeLib", GuidText(kLibraryId)),
        WriteKey(clsid + L"\\Version", L"1.0"),
        WriteKey(progId, progId),
        WriteKey(progId + L"\\CLSID", GuidText(kMatrixClassId)),
    };
    for (HRESULT step : steps)
        if (FAILED(step)) return SELFREG_E_CLASS;
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    // The type library's registration (library and interface keys) goes
    // through the runtime; a library that is not registered is not an error.
    HRESULT typeLib = S_OK;
    HKEY libraryKey = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"TypeLib\\" + GuidText(kLibraryId)).c_str(), 0, KEY_READ,
                      &libraryKey) == ERROR_SUCCESS) {
        RegCloseKey(libraryKey);
        typeLib = UnRegisterTypeLib(kLibraryId, kLibraryMajor, kLibraryMinor, kLibraryLocale, kTargetSysKind);
    }
    const HRESULT classKey = DeleteTree(L"CLSID\\" + GuidText(kMatrixClassId));
    const HRESULT progIdKey = DeleteTree(kProgIdW);
    if (FAILED(classKey) || FAILED(progIdKey)) return SELFREG_E_CLASS;
    if (FAILED(typeLib)) return SELFREG_E_TYPELIB;
    return S_OK;
}
