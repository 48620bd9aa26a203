// Object accounting under load: many objects created, used in events and
// dropped; a long run of calls mixing every member with sinks connected and
// disconnected during events. Afterwards no object of the server is alive
// and the process's handle and memory counts have not grown.
#include <olectl.h>

#include <functional>

#include "CallbackSink.h"

namespace client {
namespace {

HRESULT CanUnloadNow() {
    HMODULE dll = GetModuleHandleW(DllPath().c_str());
    if (!dll) dll = GetModuleHandleW(L"KestrimMatrix.dll");
    auto entry = dll ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                           reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")))
                     : nullptr;
    return entry ? entry() : E_FAIL;
}

// One round of the stress loop: `count` objects, each filled, connected to
// a sink whose handler calls back, creates and drops another object and
// disconnects itself at Done; some are dropped while still connected.
bool StressRound(int count, CallbackSink& sink) {
    bool ok = true;
    for (int k = 0; k < count; ++k) {
        Matrix m;
        if (FAILED(Create(m))) return false;
        m->Size(3, 3);
        m->FillRandom(1, 9, 0);
        Ptr<IConnectionPoint> point = PointOf(m.Get());
        DWORD cookie = 0;
        ok = ok && point && SUCCEEDED(point->Advise(&sink, &cookie));
        EventsOn(m.Get());
        IMatrixDual* raw = m.Get();
        sink.onProgress = [raw](VARIANT_BOOL*) {
            long rows = 0;
            raw->get_Rows(&rows);
            Matrix scratch;
            raw->Clone(scratch.Out());
        };
        sink.onDone = [&point, &cookie, k] {
            if (k % 3 == 0 && point && cookie) point->Unadvise(cookie), cookie = 0;
        };
        Matrix sum;
        IMatrixDual* self = m.Get();
        ok = ok && SUCCEEDED(m->Plus(&self, sum.Out())) && sum;
        if (k % 3 == 1 && cookie) point->Unadvise(cookie);
        sink.onProgress = nullptr;
        sink.onDone = nullptr;
    }
    return ok;
}

// What the process holds: the lowest free handle slot (a new handle takes
// it, so leaked handles push it up) and the bytes in use on every heap.
struct Usage {
    ULONG_PTR handleSlot = 0;
    SIZE_T heapBytes = 0;
};
Usage ProcessUsage() {
    Usage u;
    if (HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        u.handleSlot = reinterpret_cast<ULONG_PTR>(probe);
        CloseHandle(probe);
    }
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(DWORD(heaps.size()), heaps.data()));
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) u.heapBytes += entry.cbData;
        HeapUnlock(heap);
    }
    return u;
}

}  // namespace

// 10,000 objects in five rounds; the first round warms the heap up.
CLIENT_GROUP(Accounting) {
    CHECK(CanUnloadNow() == S_OK, "no object alive before the stress loop");
    CallbackSink sink;
    std::vector<Usage> usage;
    for (int round = 0; round < 5; ++round) {
        CHECK(StressRound(2000, sink), "stress round " + std::to_string(round));
        CHECK(CanUnloadNow() == S_OK, "no object alive after stress round " + std::to_string(round));
        usage.push_back(ProcessUsage());
    }
    std::printf("Accounting: lowest free handle %llu -> %llu, heap bytes in use %llu -> %llu (after rounds 2 and 5)\n",
                static_cast<unsigned long long>(usage[1].handleSlot), static_cast<unsigned long long>(usage[4].handleSlot),
                static_cast<unsigned long long>(usage[1].heapBytes), static_cast<unsigned long long>(usage[4].heapBytes));
    CHECK(sink.refs == 1 && sink.events > 10000, "the sink's references are all released: " + std::to_string(sink.refs));
    CHECK(usage[1].handleSlot != 0 && usage[4].handleSlot <= usage[1].handleSlot, "no handle leaked");
    CHECK(usage[1].heapBytes != 0 && usage[4].heapBytes <= usage[1].heapBytes + 64 * 1024, "heap use steady");
}

// 100,000 calls over a small pool, every member, some failing on purpose;
// sinks connect to and disconnect from pool objects while events run.
CLIENT_GROUP(Soak) {
    constexpr int kCalls = 100000, kPool = 6;
    std::vector<Matrix> pool;
    for (int i = 0; i < kPool; ++i) pool.push_back(FromRows({{4, 1, 0, 0.5}, {1, 3, 1, 0}, {0, 1, 5, 1}, {0.5, 0, 1, 6}}));
    CallbackSink sinks[3];
    std::vector<std::pair<int, DWORD>> connections;  // (pool index, cookie)
    auto connect = [&](int i, CallbackSink& s) {
        DWORD cookie = 0;
        if (Ptr<IConnectionPoint> p = PointOf(pool[size_t(i)].Get()); p && SUCCEEDED(p->Advise(&s, &cookie)))
            connections.push_back({i, cookie});
    };
    auto disconnectOne = [&]() {
        if (connections.empty()) return;
        const auto [i, cookie] = connections.front();
        connections.erase(connections.begin());
        if (Ptr<IConnectionPoint> p = PointOf(pool[size_t(i)].Get())) p->Unadvise(cookie);
    };
    int tick = 0;
    for (CallbackSink& s : sinks) {
        s.onProgress = [&](VARIANT_BOOL* cancel) {
            ++tick;
            if (tick % 7 == 0) disconnectOne();
            if (tick % 5 == 0 && connections.size() < 12) connect(tick % kPool, sinks[tick % 3]);
            if (tick % 11 == 0) *cancel = VARIANT_TRUE;
            if (tick % 13 == 0) { Matrix scratch; pool[size_t(tick % kPool)]->Transpose(scratch.Out()); }
        };
    }
    for (int i = 0; i < kPool; ++i) {
        EventsOn(pool[size_t(i)].Get());
        connect(i, sinks[i % 3]);
    }
    const Rows spdRows = ToRows(pool[0]);
    int failures = 0, unexpected = 0;
    for (int k = 0; k < kCalls; ++k) {
        IMatrixDual* m = pool[size_t(k % kPool)].Get();
        IMatrixDual* other = pool[size_t((k / kPool) % kPool)].Get();
        Matrix a, b, c, d;
        IMatrixDual *pa = nullptr, *pb = nullptr;
        double x = 0;
        long n = 0;
        VARIANT_BOOL flag = 0;
        BSTR text = nullptr;
        SAFEARRAY* array = nullptr;
        HRESULT hr = S_OK;
        switch (k % 24) {
            case 0: hr = m->Size(4, 4); break;
            case 1: hr = m->FillRandom(1, 9, 2); break;
            case 2: hr = m->put_Item(k % 4, (k / 4) % 4, 10 + k % 5); break;
            case 3: hr = m->get_Item(k % 5, 0, &x); break;  // row 4 fails
            case 4: hr = m->Clone(a.Out()); break;
            case 5: hr = m->Transpose(a.Out()); break;
            case 6: hr = m->Plus(&other, a.Out()); break;
            case 7: hr = m->MinusEquals(&other); break;
            case 8: hr = m->Times(&other, a.Out()); break;
            case 9: x = 0.5; hr = m->TimesScalar(&x, a.Out()); break;
            case 10: hr = m->Determinant(&x); break;
            case 11: hr = m->Inverse(a.Out()); break;
            case 12: hr = m->Solve(&other, a.Out()); break;  // 4 x 4 right-hand side: fails
            case 13: hr = m->IsEqualTo(&other, 1e-9, &flag); break;
            case 14: hr = m->NormalizeMe(&x); break;
            case 15: hr = m->GetString(2, nullptr, &text); break;
            case 16: hr = m->get_AsArray(&array); SafeArrayDestroy(array); break;
            case 17: { a = NewMatrix(); b = NewMatrix(); pa = a.Get(); pb = b.Get();
                VARIANT index; VariantInit(&index); hr = m->LU(&pa, &pb, &index, &n); VariantClear(&index); } break;
            case 18: { Matrix spd = FromRows(spdRows); a = NewMatrix(); pa = a.Get();
                hr = (k / 24) % 2 ? spd->Cholesky(&pa) : m->Cholesky(&pa); if (!pa) a.InOut()[0] = nullptr; } break;
            case 19: a = NewMatrix(); b = NewMatrix(); pa = a.Get(); pb = b.Get(); hr = m->QR(&pa, &pb); break;
            case 20: { a = NewMatrix(); c = NewMatrix(); d = NewMatrix(); IMatrixDual *u = a.Get(), *s = c.Get(), *v = d.Get();
                hr = m->SVD(&u, &s, &v); } break;
            case 21: { a = NewMatrix(); IMatrixDual* w = a.Get(); hr = m->Eigen(&w, nullptr, nullptr, nullptr); } break;
            case 22: n = k % 6; hr = m->RowVector(&n, a.Out()); break;  // 4 and 5 fail
            case 23: hr = m->get_Rows(&n); break;
        }
        SysFreeString(text);
        if (FAILED(hr)) {
            ++failures;
            IErrorInfo* info = nullptr;
            if (GetErrorInfo(0, &info) != S_OK || !info) ++unexpected;
            if (info) info->Release();
        }
    }
    for (CallbackSink& s : sinks) s.onProgress = nullptr;
    while (!connections.empty()) disconnectOne();
    pool.clear();
    CHECK(failures > 0 && unexpected == 0, "failures carry an error record: " + std::to_string(failures));
    CHECK(tick > 1000, "events ran during the soak: " + std::to_string(tick));
    CHECK(sinks[0].refs == 1 && sinks[1].refs == 1 && sinks[2].refs == 1, "every sink released");
    CHECK(CanUnloadNow() == S_OK, "no object alive after 100,000 calls");
}

}  // namespace client
