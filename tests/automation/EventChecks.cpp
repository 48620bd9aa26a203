// Events through a connection point, as a compiled host receives them.
#include <functional>
#include <string>

#include <olectl.h>

#include "ClientSupport.h"

namespace client {
namespace {

using namespace kestrim::automation;

struct Event {
    std::wstring kind;  // L"OnProgress" or L"Done"
    std::wstring operation;
    float percent = 0;
    VARIANT_BOOL cancelOnEntry = 0;
    int sink = 0;
};

// A sink for __Matrix. It records every event into a shared log and may
// set Cancel or run a callback inside OnProgress.
class Sink final : public IDispatch {
public:
    Sink(std::vector<Event>& log, int id, bool answersEventsIid = true)
        : log_(log), id_(id), answersEventsIid_(answersEventsIid) {}
    std::function<void(VARIANT_BOOL* cancel)> onProgress;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch || (answersEventsIid_ && riid == kMatrixEventsId)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        Event e;
        e.sink = id_;
        if (id == kDispIdOnProgress && p->cArgs == 3 && V_VT(&p->rgvarg[2]) == VT_BSTR &&
            V_VT(&p->rgvarg[1]) == VT_R4 && V_VT(&p->rgvarg[0]) == (VT_BOOL | VT_BYREF)) {
            e.kind = L"OnProgress";
            e.operation = V_BSTR(&p->rgvarg[2]);
            e.percent = V_R4(&p->rgvarg[1]);
            e.cancelOnEntry = *V_BOOLREF(&p->rgvarg[0]);
            log_.push_back(e);
            if (onProgress) onProgress(V_BOOLREF(&p->rgvarg[0]));
            return S_OK;
        }
        if (id == kDispIdDone && p->cArgs == 1 && V_VT(&p->rgvarg[0]) == VT_BSTR) {
            e.kind = L"Done";
            e.operation = V_BSTR(&p->rgvarg[0]);
            log_.push_back(e);
            return S_OK;
        }
        e.kind = L"malformed";
        log_.push_back(e);
        return DISP_E_MEMBERNOTFOUND;
    }
    ULONG refs = 1;

private:
    std::vector<Event>& log_;
    int id_;
    bool answersEventsIid_;
};

Ptr<IConnectionPoint> PointOf(const Matrix& m) {
    Ptr<IConnectionPoint> point;
    Ptr<IConnectionPointContainer> container = m.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    CHECK(static_cast<bool>(container), "IConnectionPointContainer");
    if (container) CHECK_HR(container->FindConnectionPoint(kMatrixEventsId, point.Out()), "FindConnectionPoint");
    return point;
}

void EventsOn(const Matrix& m, bool on) {
    VARIANT_BOOL v = on ? VARIANT_TRUE : VARIANT_FALSE;
    m->put_FireEvents(&v);
}

bool Is(const Event& e, const wchar_t* kind, const wchar_t* operation, float percent = -1) {
    return e.kind == kind && e.operation == operation && (percent < 0 || e.percent == percent);
}

std::string Show(const std::vector<Event>& log) {
    std::string s;
    for (const Event& e : log) {
        for (wchar_t c : e.kind + L"(" + e.operation) s.push_back(static_cast<char>(c));
        s += " " + std::to_string(e.percent) + ") ";
    }
    return s;
}

}  // namespace

CLIENT_GROUP(Events) {
    std::vector<Event> log;
    Sink first(log, 1), second(log, 2);
    Matrix a = FromRows({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    if (!a) return;
    Ptr<IConnectionPoint> point = PointOf(a);
    if (!point) return;
    IID iid{};
    point->GetConnectionInterface(&iid);
    CHECK(iid == kMatrixEventsId, "the connection point is for __Matrix");
    Ptr<IConnectionPointContainer> back;
    point->GetConnectionPointContainer(back.Out());
    CHECK(back.Get() == a.As<IConnectionPointContainer>(IID_IConnectionPointContainer).Get(),
          "the connection point leads back to the object");
    Ptr<IConnectionPoint> other;
    CHECK(a.As<IConnectionPointContainer>(IID_IConnectionPointContainer)->FindConnectionPoint(IID_IDispatch, other.Out()) ==
              CONNECT_E_NOCONNECTION,
          "no connection point for another interface");
    Ptr<IEnumConnectionPoints> points;
    a.As<IConnectionPointContainer>(IID_IConnectionPointContainer)->EnumConnectionPoints(points.Out());
    IConnectionPoint* listed[2] = {};
    ULONG fetched = 0;
    if (points) points->Next(2, listed, &fetched);
    CHECK(fetched == 1 && listed[0] == point.Get(), "one connection point listed");
    for (ULONG i = 0; i < fetched; ++i) listed[i]->Release();

    DWORD cookie1 = 0, cookie2 = 0;
    CHECK_HR(point->Advise(&first, &cookie1), "Advise");

    // Events off: nothing arrives, the result is the same.
    Matrix result;
    IMatrixDual* self = a.Get();
    CHECK_HR(a->Plus(&self, result.Out()), "Plus with events off");
    CHECK(log.empty() && Near(ToRows(result), {{2, 4, 6}, {8, 10, 12}, {14, 16, 18}}, 0), "no events while off");

    // Plus on 3 x 3: three progress events, then Done.
    EventsOn(a, true);
    CHECK_HR(a->Plus(&self, result.Out()), "Plus with events on");
    CHECK(log.size() == 4 && Is(log[0], L"OnProgress", L"Plus", 100.0f / 3) &&
              Is(log[1], L"OnProgress", L"Plus", static_cast<float>(200.0 / 3)) &&
              Is(log[2], L"OnProgress", L"Plus", 100) && Is(log[3], L"Done", L"Plus") && log[0].cancelOnEntry == 0,
          "Plus events: " + Show(log));

    // Cancel at the first event: an empty result, no further events.
    log.clear();
    first.onProgress = [](VARIANT_BOOL* cancel) { *cancel = VARIANT_TRUE; };
    CHECK_HR(a->Plus(&self, result.Out()), "cancelled Plus");
    CHECK(!result && log.size() == 1, "cancelled Plus returns Nothing: " + Show(log));
    // Any nonzero value cancels.
    log.clear();
    first.onProgress = [](VARIANT_BOOL* cancel) { *cancel = 1; };
    Matrix before = FromRows({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    IMatrixDual* beforeRef = before.Get();
    CHECK_HR(a->PlusEquals(&beforeRef), "cancelled PlusEquals");
    CHECK(log.size() == 1 && Near(ToRows(a), {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, 0),
          "Cancel = 1 stops PlusEquals and leaves the receiver");

    // Two sinks, called in connection order; the second sees the first's Cancel.
    log.clear();
    CHECK_HR(point->Advise(&second, &cookie2), "Advise a second sink");
    first.onProgress = [](VARIANT_BOOL* cancel) { *cancel = VARIANT_TRUE; };
    CHECK_HR(a->Plus(&self, result.Out()), "Plus with two sinks");
    CHECK(log.size() == 2 && log[0].sink == 1 && log[1].sink == 2 && log[1].cancelOnEntry != 0 && !result,
          "both sinks, in order, then the cancel: " + Show(log));
    Ptr<IEnumConnections> connections;
    point->EnumConnections(connections.Out());
    CONNECTDATA data[3] = {};
    fetched = 0;
    if (connections) connections->Next(3, data, &fetched);
    CHECK(fetched == 2 && data[0].dwCookie == cookie1 && data[1].dwCookie == cookie2, "two connections listed");
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    connections.Reset();

    // Unadvise: the first sink hears nothing more.
    first.onProgress = nullptr;
    CHECK_HR(point->Unadvise(cookie1), "Unadvise");
    CHECK(point->Unadvise(cookie1) == CONNECT_E_NOCONNECTION, "Unadvise twice");
    log.clear();
    CHECK_HR(a->Plus(&self, result.Out()), "Plus after Unadvise");
    bool onlySecond = log.size() == 4;
    for (const Event& e : log) onlySecond = onlySecond && e.sink == 2;
    CHECK(onlySecond, "only the remaining sink: " + Show(log));

    // Solve on 4 x 4: four "Inverse" events, then Done "Solve".
    log.clear();
    Matrix s = FromRows({{4, 1, 0, 0}, {1, 4, 1, 0}, {0, 1, 4, 1}, {0, 0, 1, 4}});
    Matrix b = FromRows({{1}, {2}, {3}, {4}});
    Ptr<IConnectionPoint> sPoint = PointOf(s);
    DWORD sCookie = 0;
    sPoint->Advise(&second, &sCookie);
    EventsOn(s, true);
    IMatrixDual* bRef = b.Get();
    CHECK_HR(s->Solve(&bRef, result.Out()), "Solve");
    CHECK(log.size() == 5 && Is(log[0], L"OnProgress", L"Inverse", 25) && Is(log[1], L"OnProgress", L"Inverse", 50) &&
              Is(log[2], L"OnProgress", L"Inverse", 75) && Is(log[3], L"OnProgress", L"Inverse", 100) &&
              Is(log[4], L"Done", L"Solve"),
          "Solve events: " + Show(log));

    // LU reads FireEvents at every event: switching it off stops them.
    log.clear();
    second.onProgress = [&s](VARIANT_BOOL*) { EventsOn(s, false); };
    CHECK_HR(s->LU(nullptr, nullptr, nullptr, nullptr), "LU");
    CHECK(log.size() == 1 && Is(log[0], L"OnProgress", L"LU", 25), "LU after FireEvents off: " + Show(log));

    // Cholesky: progress named "Cholesky", Done named "CHOLdc". A handler
    // may call back into the object.
    log.clear();
    EventsOn(s, true);
    long rowsSeen = 0;
    second.onProgress = [&s, &rowsSeen](VARIANT_BOOL*) { s->get_Rows(&rowsSeen); };
    CHECK_HR(s->Cholesky(nullptr), "Cholesky");
    CHECK(log.size() == 5 && Is(log[0], L"OnProgress", L"Cholesky", 25) && Is(log[4], L"Done", L"CHOLdc") &&
              rowsSeen == 4,
          "Cholesky events: " + Show(log));
    sPoint->Unadvise(sCookie);
    point->Unadvise(cookie2);
    CHECK(first.refs == 1 && second.refs == 1, "the sinks' references are released");

    // A sink that only answers IDispatch is accepted too.
    Sink plain(log, 3, false);
    DWORD cookie3 = 0;
    CHECK_HR(point->Advise(&plain, &cookie3), "Advise an IDispatch-only sink");
    point->Unadvise(cookie3);

    // A handler that releases the last reference to the object: the call
    // still completes.
    {
        IMatrixDual* owned = nullptr;
        a->Clone(&owned);
        Ptr<IConnectionPoint> p2 = PointOf(Matrix(owned, true));
        Sink releaser(log, 4);
        DWORD c = 0;
        p2->Advise(&releaser, &c);
        p2.Reset();
        EventsOn(Matrix(owned, true), true);
        log.clear();
        bool released = false;
        releaser.onProgress = [&owned, &released](VARIANT_BOOL*) {
            if (!released) owned->Release();  // the caller's own reference
            released = true;
        };
        IMatrixDual* arg = owned;
        Matrix sum;
        CHECK_HR(owned->Plus(&arg, sum.Out()), "Plus whose handler releases the object");
        CHECK(log.size() == 4 && Near(ToRows(sum), {{2, 4, 6}, {8, 10, 12}, {14, 16, 18}}, 0),
              "the operation completes after the release: " + Show(log));
        CHECK(releaser.refs == 1, "the released object let go of its sink");
    }

    // Class information.
    Ptr<IProvideClassInfo2> classInfo = a.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
    GUID source{};
    CHECK(classInfo && SUCCEEDED(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source)) &&
              source == kMatrixEventsId,
          "IProvideClassInfo2 names __Matrix");
    Ptr<ITypeInfo> coclass;
    TYPEATTR* attr = nullptr;
    if (classInfo && SUCCEEDED(classInfo->GetClassInfo(coclass.Out())) && SUCCEEDED(coclass->GetTypeAttr(&attr))) {
        CHECK(attr->guid == kMatrixClassId && attr->typekind == TKIND_COCLASS, "GetClassInfo gives the class");
        coclass->ReleaseTypeAttr(attr);
    } else {
        CHECK(false, "GetClassInfo");
    }
}

}  // namespace client
