// Events through a connection point: sequences, Cancel, several sinks, and
// handlers that call back into or release the object.
#include <functional>

#include <olectl.h>

#include "ClientSupport.h"

namespace client {
namespace {

// A __Matrix sink that logs "sink:Kind(Operation percent)" and may run a
// callback with the Cancel argument.
class Sink final : public IDispatch {
public:
    Sink(std::string& log, char id) : log_(log), id_(id) {}
    std::function<void(VARIANT_BOOL*)> onProgress;
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IDispatch || riid == kMatrixEventsId ? this : nullptr;
        return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
        const VARIANT* a = p->rgvarg;
        if (id == kDispIdOnProgress && p->cArgs == 3 && V_VT(&a[2]) == VT_BSTR && V_VT(&a[1]) == VT_R4 &&
            V_VT(&a[0]) == (VT_BOOL | VT_BYREF)) {
            log_ += id_ + (":OnProgress(" + Ascii(V_BSTR(&a[2]))) + " " + std::to_string(V_R4(&a[1])) +
                    (*V_BOOLREF(&a[0]) ? " cancelled) " : ") ");
            if (onProgress) onProgress(V_BOOLREF(&a[0]));
        } else {
            const bool done = id == kDispIdDone && p->cArgs == 1 && V_VT(&a[0]) == VT_BSTR;
            log_ += id_ + (done ? ":Done(" + Ascii(V_BSTR(&a[0])) + ") " : std::string(":malformed "));
        }
        return S_OK;
    }
private:
    std::string& log_;
    char id_;
};
Ptr<IConnectionPoint> PointOf(IMatrixDual* m) {
    Ptr<IConnectionPoint> point;
    Ptr<IConnectionPointContainer> c;
    m->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(c.Out()));
    CHECK(c && SUCCEEDED(c->FindConnectionPoint(kMatrixEventsId, point.Out())), "FindConnectionPoint");
    return point;
}
void EventsOn(IMatrixDual* m, bool on) {
    VARIANT_BOOL v = on ? VARIANT_TRUE : VARIANT_FALSE;
    m->put_FireEvents(&v);
}
// The log of the first `upto` of `steps` progress events and, when all
// arrived, of Done.
std::string Log(char sink, const std::string& operation, int steps, int upto, const std::string& done = "") {
    std::string s;
    for (int k = 1; k <= upto; ++k)
        s += sink + (":OnProgress(" + operation) + " " + std::to_string(float(100.0 * k / steps)) + ") ";
    return s + (upto == steps ? sink + (":Done(" + (done.empty() ? operation : done)) + ") " : "");
}

}  // namespace

CLIENT_GROUP(Events) {
    std::string log;
    Sink first(log, '1'), second(log, '2');
    const Rows rows3 = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, doubled = {{2, 4, 6}, {8, 10, 12}, {14, 16, 18}};
    Matrix a = FromRows(rows3), other = FromRows(rows3), result;
    Ptr<IConnectionPoint> point = PointOf(a.Get());
    if (!point) return;
    DWORD cookie1 = 0, cookie2 = 0;
    CHECK_HR(point->Advise(&first, &cookie1), "Advise on the __Matrix point");
    IMatrixDual *self = a.Get(), *otherRef = other.Get();
    CHECK(SUCCEEDED(a->Plus(&self, result.Out())) && log.empty() && Same(result, doubled), "no events while off");
    EventsOn(a.Get(), true);
    CHECK(SUCCEEDED(a->Plus(&self, result.Out())) && log == Log('1', "Plus", 3, 3), "Plus: " + log);
    // Cancel stops at once: Plus returns Nothing, PlusEquals leaves the receiver.
    log.clear();
    first.onProgress = [](VARIANT_BOOL* cancel) { *cancel = 1; };
    CHECK(SUCCEEDED(a->Plus(&self, result.Out())) && !result && SUCCEEDED(a->PlusEquals(&otherRef)) &&
              Same(a, rows3) && log == Log('1', "Plus", 3, 1) + Log('1', "PlusEquals", 3, 1),
          "cancelled Plus and PlusEquals: " + log);
    // Two sinks in connection order; the second sees the first's Cancel.
    log.clear();
    CHECK(SUCCEEDED(point->Advise(&second, &cookie2)) && SUCCEEDED(a->Plus(&self, result.Out())) && !result &&
              log == Log('1', "Plus", 3, 1) + "2:OnProgress(Plus 33.333332 cancelled) ", "two sinks: " + log);
    first.onProgress = nullptr;
    CHECK(SUCCEEDED(point->Unadvise(cookie1)) && point->Unadvise(cookie1) == CONNECT_E_NOCONNECTION, "Unadvise");
    log.clear();
    CHECK(SUCCEEDED(a->Plus(&self, result.Out())) && log == Log('2', "Plus", 3, 3), "after Unadvise: " + log);
    // Solve reports progress as Inverse, then Done Solve.
    log.clear();
    Matrix s = FromRows({{4, 1, 0, 0}, {1, 4, 1, 0}, {0, 1, 4, 1}, {0, 0, 1, 4}}), b = FromRows({{1}, {2}, {3}, {4}});
    Ptr<IConnectionPoint> sPoint = PointOf(s.Get());
    DWORD sCookie = 0;
    if (sPoint) sPoint->Advise(&second, &sCookie);
    EventsOn(s.Get(), true);
    IMatrixDual* bRef = b.Get();
    CHECK(SUCCEEDED(s->Solve(&bRef, result.Out())) && log == Log('2', "Inverse", 4, 4, "Solve"), "Solve: " + log);
    // A handler may call back into the object: FireEvents off stops the events.
    log.clear();
    second.onProgress = [&s](VARIANT_BOOL*) { EventsOn(s.Get(), false); };
    CHECK(SUCCEEDED(s->LU(nullptr, nullptr, nullptr, nullptr)) && log == Log('2', "LU", 4, 1), "LU: " + log);
    if (sPoint) sPoint->Unadvise(sCookie);
    point->Unadvise(cookie2);
    CHECK(first.refs == 1 && second.refs == 1, "the sinks' references are released");
    // A handler that releases the caller's last reference: the call completes.
    IMatrixDual* owned = nullptr;
    a->Clone(&owned);
    Sink releaser(log, '4');
    DWORD cookie = 0;
    if (Ptr<IConnectionPoint> p = PointOf(owned)) p->Advise(&releaser, &cookie);
    EventsOn(owned, true);
    log.clear();
    releaser.onProgress = [&owned](VARIANT_BOOL*) {
        if (owned) owned->Release();
        owned = nullptr;
    };
    IMatrixDual* arg = owned;
    CHECK(SUCCEEDED(arg->Plus(&arg, result.Out())) && Same(result, doubled) && log == Log('4', "Plus", 3, 3) &&
              releaser.refs == 1, "the operation completes after the release: " + log);
}

}  // namespace client
