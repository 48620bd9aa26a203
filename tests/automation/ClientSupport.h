// Helpers for the compiled automation client: checks, a reference-holding
// pointer, and shortcuts for matrices, error records and dispatch calls.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "host/automation/ComIds.h"
#include "host/automation/MatrixInterface.h"

namespace client {
using namespace kestrim::automation;
struct Tally { int passed = 0, failed = 0; };
inline Tally& Results() { static Tally tally; return tally; }
inline void CheckImpl(bool ok, const std::string& what, const char* file, int line) {
    ++(ok ? Results().passed : Results().failed);
    if (!ok) std::printf("FAIL %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}
inline std::string WithHr(const std::string& what, HRESULT hr) {
    char text[32];
    std::snprintf(text, sizeof text, " (0x%08lX)", static_cast<unsigned long>(hr));
    return what + text;
}
#define CHECK(condition, what) ::client::CheckImpl((condition), (what), __FILE__, __LINE__)
#define CHECK_HR(expr, what) \
    do { const HRESULT hr_ = (expr); CHECK(SUCCEEDED(hr_), ::client::WithHr((what), hr_)); } while (0)

// The check groups, run in this order by main; BitIdentity (first) only when
// a file of native digests is given.
void BitIdentity(), TypeLibrary(), Events(), Dispatch(), Arrays(), Errors(), Registration(), UserRegistration();
void Outputs(), HostStates(), Accounting(), Soak();
bool LoadNativeDigests(const std::wstring& path);
#define CLIENT_GROUP(name) void name()
// The DLL under test, as given on the command line.
const std::wstring& DllPath();
template <class T>
class Ptr {  // holds one reference
public:
    Ptr() = default;
    explicit Ptr(T* p, bool addRef = false) : p_(p) { if (p_ && addRef) p_->AddRef(); }
    Ptr(const Ptr& o) : Ptr(o.p_, true) {}
    Ptr& operator=(const Ptr& o) { Ptr copy(o); std::swap(p_, copy.p_); return *this; }
    ~Ptr() { Reset(); }
    void Reset() { if (p_) p_->Release(); p_ = nullptr; }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** Out() { Reset(); return &p_; }  // out parameter: releases what is held first
    T** InOut() { return &p_; }
private:
    T* p_ = nullptr;
};
using Matrix = Ptr<IMatrixDual>;
using Rows = std::vector<std::vector<double>>;
inline HRESULT Create(Matrix& m) {  // through the registry
    return CoCreateInstance(kMatrixClassId, nullptr, CLSCTX_INPROC_SERVER, kMatrixInterfaceId, reinterpret_cast<void**>(m.Out()));
}
inline Matrix NewMatrix() { Matrix m; CHECK_HR(Create(m), "CoCreateInstance"); return m; }
inline Matrix FromRows(const Rows& rows) {
    Matrix m = NewMatrix();
    if (m) m->Size(long(rows.size()), long(rows[0].size()));
    for (size_t i = 0; m && i < rows.size(); ++i)
        for (size_t j = 0; j < rows[0].size(); ++j) m->put_Item(long(i), long(j), rows[i][j]);
    return m;
}
// The elements through Rows, Cols and Item; empty when the reference is.
inline Rows ToRows(const Matrix& m) {
    Rows rows;
    long r = 0, c = 0;
    if (!m || FAILED(m->get_Rows(&r)) || FAILED(m->get_Cols(&c))) return rows;
    rows.assign(size_t(r), std::vector<double>(size_t(c)));
    for (long i = 0; i < r; ++i)
        for (long j = 0; j < c; ++j)
            if (FAILED(m->get_Item(i, j, &rows[size_t(i)][size_t(j)]))) return Rows{};
    return rows;
}
inline bool Same(const Matrix& m, const Rows& rows) { return ToRows(m) == rows; }
inline bool EndsWith(const std::wstring& s, const std::wstring& tail) {
    return s.size() >= tail.size() && _wcsicmp(s.c_str() + s.size() - tail.size(), tail.c_str()) == 0;
}
inline std::string Ascii(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c == L'\r' ? "\\r" : c == L'\n' ? "\\n" : std::string(1, c < 128 ? char(c) : '?');
    return s;
}

// The error record of a failed call: status 0x80040514 + code, the
// description composed from the code and message, source, help context and
// a help file ending in "/KTMatrixLib.CHM".
inline void CheckMatrixError(HRESULT hr, int code, DWORD help, const std::wstring& message, const std::string& what) {
    IErrorInfo* info = nullptr;
    BSTR t[3] = {};
    DWORD context = 0;
    if (GetErrorInfo(0, &info) == S_OK && info)
        info->GetSource(&t[0]), info->GetDescription(&t[1]), info->GetHelpFile(&t[2]), info->GetHelpContext(&context), info->Release();
    const std::wstring source = t[0] ? t[0] : L"", description = t[1] ? t[1] : L"", file = t[2] ? t[2] : L"";
    CHECK(hr == HRESULT(0x80040514u + unsigned(code)) && source == L"KestrimMatrixLib.Matrix" && context == help &&
              description == L"KestrimMatrixLib.Matrix Error Number: " + std::to_wstring(1300 + code) + L"\r\r" + message &&
              EndsWith(file, L"/KTMatrixLib.CHM"),
          WithHr(what, hr) + " " + Ascii(source) + " " + std::to_string(context) + " " + Ascii(description) + " " + Ascii(file));
    for (BSTR text : t) SysFreeString(text);
}

// IDispatch::Invoke with the arguments left to right (reversed here, as
// DISPPARAMS wants them); the arguments are cleared afterwards.
inline HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
                    EXCEPINFO* exception = nullptr, std::vector<DISPID> named = {}) {
    std::reverse(args.begin(), args.end());
    DISPPARAMS params{args.data(), named.data(), UINT(args.size()), UINT(named.size())};
    EXCEPINFO local{};
    UINT argError = 0;
    if (result) VariantInit(result);
    const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                      exception ? exception : &local, &argError);
    for (BSTR text : {local.bstrSource, local.bstrDescription, local.bstrHelpFile}) SysFreeString(text);
    for (VARIANT& v : args) VariantClear(&v);
    return hr;
}
inline VARIANT Var(VARTYPE vt) { VARIANT v; VariantInit(&v); V_VT(&v) = vt; return v; }
inline VARIANT Long(long x) { VARIANT v = Var(VT_I4); V_I4(&v) = x; return v; }
inline VARIANT Double(double x) { VARIANT v = Var(VT_R8); V_R8(&v) = x; return v; }
inline VARIANT Missing() { VARIANT v = Var(VT_ERROR); V_ERROR(&v) = DISP_E_PARAMNOTFOUND; return v; }
inline VARIANT ObjectRef(IMatrixDual** p) {
    VARIANT v = Var(VT_DISPATCH | VT_BYREF);
    V_DISPATCHREF(&v) = reinterpret_cast<IDispatch**>(p);
    return v;
}

}  // namespace client
