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
#include "host/automation/Registration.h"
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
                if (target.vt == VT_I4 || target.vt == VT_R8 || target.vt == VT_VARIANT) type = target.vt;
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
    return FAILED(registration::WriteClass(registration::Scope::Machine, path)) ? SELFREG_E_CLASS : S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    const HRESULT typeLib = registration::RemoveMachineTypeLibrary();
    if (FAILED(registration::RemoveClass(registration::Scope::Machine))) return SELFREG_E_CLASS;
    if (FAILED(typeLib)) return SELFREG_E_TYPELIB;
    return S_OK;
}

// Per-user registration for users without administrator rights:
// `regsvr32 /n /i:user KestrimMatrix.dll` writes the class, the
// programmatic identifier and the type library under
// HKEY_CURRENT_USER\Software\Classes; `regsvr32 /u /n /i:user` removes
// exactly those. Any other command line is refused.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR commandLine) {
    if (!commandLine || _wcsicmp(commandLine, L"user") != 0) return E_INVALIDARG;
    using registration::Scope;
    if (!install) {
        const HRESULT typeLib = registration::RemoveUserTypeLibrary();
        if (FAILED(registration::RemoveClass(Scope::User))) return SELFREG_E_CLASS;
        return FAILED(typeLib) ? SELFREG_E_TYPELIB : S_OK;
    }
    const std::wstring path = ModulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    ITypeLib* library = nullptr;
    if (FAILED(LoadOwnTypeLib(&library))) return SELFREG_E_TYPELIB;
    HRESULT hr = registration::WriteUserTypeLibrary(library, path);
    library->Release();
    if (SUCCEEDED(hr)) hr = registration::WriteClass(Scope::User, path) == S_OK ? S_OK : SELFREG_E_CLASS;
    else hr = SELFREG_E_TYPELIB;
    if (FAILED(hr)) {
        // Leave nothing half-written behind.
        registration::RemoveUserTypeLibrary();
        registration::RemoveClass(Scope::User);
    }
    return hr;
}
