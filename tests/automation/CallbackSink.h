// A __Matrix sink whose handlers run callbacks, and connection helpers,
// for the client's checks.
#pragma once

#include <olectl.h>

#include <functional>

#include "ClientSupport.h"

namespace client {

// A sink whose handler runs a callback; it counts its references and the
// events it received.
class CallbackSink final : public IDispatch {
public:
    std::function<void(VARIANT_BOOL* cancel)> onProgress;
    std::function<void()> onDone;
    LONG refs = 1, events = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IDispatch || riid == kMatrixEventsId ? this : nullptr;
        return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(--refs); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
        ++events;
        if (id == kDispIdOnProgress && p->cArgs == 3 && onProgress) onProgress(V_BOOLREF(&p->rgvarg[0]));
        if (id == kDispIdDone && onDone) onDone();
        return S_OK;
    }
};

inline Ptr<IConnectionPoint> PointOf(IMatrixDual* m) {
    Ptr<IConnectionPoint> point;
    Ptr<IConnectionPointContainer> c;
    if (SUCCEEDED(m->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(c.Out()))))
        c->FindConnectionPoint(kMatrixEventsId, point.Out());
    return point;
}
inline void EventsOn(IMatrixDual* m) {
    VARIANT_BOOL on = VARIANT_TRUE;
    m->put_FireEvents(&on);
}

}  // namespace client
