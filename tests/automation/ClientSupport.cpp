#include "ClientSupport.h"

#include <algorithm>
#include <cmath>

namespace client {

using namespace kestrim::automation;

Tally& Results() {
    static Tally tally;
    return tally;
}

std::vector<Group>& Groups() {
    static std::vector<Group> groups;
    return groups;
}

void CheckImpl(bool condition, const std::string& what, const char* file, int line) {
    if (condition) {
        ++Results().passed;
        return;
    }
    ++Results().failed;
    const char* base = file;
    for (const char* p = file; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    std::printf("FAIL %s:%d: %s\n", base, line, what.c_str());
    std::fflush(stdout);
}

std::string WithHr(const std::string& what, HRESULT hr) {
    char text[32];
    std::snprintf(text, sizeof text, " (0x%08lX)", static_cast<unsigned long>(hr));
    return what + text;
}

Matrix NewMatrix() {
    Matrix m;
    const HRESULT hr = CoCreateInstance(kMatrixClassId, nullptr, CLSCTX_INPROC_SERVER, kMatrixInterfaceId,
                                        reinterpret_cast<void**>(m.Out()));
    CHECK(SUCCEEDED(hr) && m, WithHr("CoCreateInstance", hr));
    return m;
}

Matrix FromRows(const Rows& rows) {
    Matrix m = NewMatrix();
    if (!m) return m;
    const long r = static_cast<long>(rows.size()), c = static_cast<long>(rows[0].size());
    CHECK_HR(m->Size(r, c), "Size");
    for (long i = 0; i < r; ++i)
        for (long j = 0; j < c; ++j) m->put_Item(i, j, rows[static_cast<size_t>(i)][static_cast<size_t>(j)]);
    return m;
}

Rows ToRows(const Matrix& m) {
    Rows rows;
    if (!m) return rows;
    long r = 0, c = 0;
    m->get_Rows(&r);
    m->get_Cols(&c);
    for (long i = 0; i < r; ++i) {
        rows.emplace_back();
        for (long j = 0; j < c; ++j) {
            double v = 0;
            if (FAILED(m->get_Item(i, j, &v))) return Rows{};
            rows.back().push_back(v);
        }
    }
    return rows;
}

bool Near(const Rows& a, const Rows& b, double tol) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size()) return false;
        for (size_t j = 0; j < a[i].size(); ++j)
            if (!(std::fabs(a[i][j] - b[i][j]) <= tol)) return false;
    }
    return true;
}

ErrorRecord LastError(HRESULT hr) {
    ErrorRecord record;
    record.number = hr;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return record;
    BSTR source = nullptr, description = nullptr, helpFile = nullptr;
    info->GetSource(&source);
    info->GetDescription(&description);
    info->GetHelpFile(&helpFile);
    info->GetHelpContext(&record.helpContext);
    if (source) record.source = source;
    if (description) record.description = description;
    if (helpFile) record.helpFile = helpFile;
    SysFreeString(source);
    SysFreeString(description);
    SysFreeString(helpFile);
    info->Release();
    return record;
}

static std::string Utf8(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s.push_back(c == L'\r' ? '|' : static_cast<char>(c < 128 ? c : '?'));
    return s;
}

void CheckMatrixError(HRESULT hr, int code, DWORD helpContext, const std::wstring& message,
                      const std::string& what) {
    const HRESULT expected = static_cast<HRESULT>(0x80040514u + static_cast<unsigned>(code));
    CHECK(hr == expected, WithHr(what + ": status", hr));
    const ErrorRecord e = LastError(hr);
    const std::wstring description =
        L"KestrimMatrixLib.Matrix Error Number: " + std::to_wstring(1300 + code) + L"\r\r" + message;
    CHECK(e.description == description, what + ": description \"" + Utf8(e.description) + "\"");
    CHECK(e.source == L"KestrimMatrixLib.Matrix", what + ": source \"" + Utf8(e.source) + "\"");
    CHECK(e.helpContext == helpContext, what + ": help context " + std::to_string(e.helpContext));
    const std::wstring tail = L"/KTMatrixLib.CHM";
    CHECK(e.helpFile.size() > tail.size() && e.helpFile.compare(e.helpFile.size() - tail.size(), tail.size(), tail) == 0,
          what + ": help file \"" + Utf8(e.helpFile) + "\"");
}

HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
             EXCEPINFO* exception, std::vector<DISPID> named) {
    std::reverse(args.begin(), args.end());
    DISPPARAMS params{args.empty() ? nullptr : args.data(), named.empty() ? nullptr : named.data(),
                      static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
    EXCEPINFO local{};
    UINT argError = 0;
    if (result) VariantInit(result);
    const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                      exception ? exception : &local, &argError);
    if (!exception) {
        SysFreeString(local.bstrSource);
        SysFreeString(local.bstrDescription);
        SysFreeString(local.bstrHelpFile);
    }
    for (VARIANT& v : args) VariantClear(&v);
    return hr;
}

VARIANT Long(long v) {
    VARIANT r;
    VariantInit(&r);
    V_VT(&r) = VT_I4;
    V_I4(&r) = v;
    return r;
}

VARIANT Double(double v) {
    VARIANT r;
    VariantInit(&r);
    V_VT(&r) = VT_R8;
    V_R8(&r) = v;
    return r;
}

VARIANT Text(const wchar_t* v) {
    VARIANT r;
    VariantInit(&r);
    V_VT(&r) = VT_BSTR;
    V_BSTR(&r) = SysAllocString(v);
    return r;
}

VARIANT ObjectRef(IMatrixDual** p) {
    VARIANT r;
    VariantInit(&r);
    V_VT(&r) = VT_DISPATCH | VT_BYREF;
    V_DISPATCHREF(&r) = reinterpret_cast<IDispatch**>(p);
    return r;
}

VARIANT Missing() {
    VARIANT r;
    VariantInit(&r);
    V_VT(&r) = VT_ERROR;
    V_ERROR(&r) = DISP_E_PARAMNOTFOUND;
    return r;
}

}  // namespace client
