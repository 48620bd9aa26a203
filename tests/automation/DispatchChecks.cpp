// Calls by dispatch identifier (default member, omitted optional arguments and
// by-reference outputs), safe arrays, Matrix arguments and error records.
#include "ClientSupport.h"

namespace client {
namespace {
constexpr DISPID kSize = 0x60030009, kFillRandom = 0x6003000A, kRows = 0x68030005, kAsArray = 0x68030001,
                 kPlus = 0x6003000F, kIsEqualTo = 0x6003001A, kGetString = 0x6003001D,
                 kLUdc = 0x6003001E, kLU = 0x6003001F, kCHOLdc = 0x60030020, kCholesky = 0x60030021,
                 kQR = 0x60030026, kSVD = 0x6003002C, kEigen = 0x6003002D;
constexpr HRESULT kSubscript = HRESULT(0x800A0009), kMissingObject = HRESULT(0x800A005B);

// A column-major Double array (count2 == 0: one dimension) of first, first + 1, ...
SAFEARRAY* MakeArray(long lower1, long count1, long lower2, long count2, double first) {
    SAFEARRAYBOUND bounds[2] = {{ULONG(count1), lower1}, {ULONG(count2), lower2}};
    SAFEARRAY* a = SafeArrayCreate(VT_R8, count2 > 0 ? 2 : 1, bounds);
    double* data = nullptr;
    SafeArrayAccessData(a, reinterpret_cast<void**>(&data));
    for (long k = 0; k < count1 * std::max(count2, 1L); ++k) data[k] = first + k;
    SafeArrayUnaccessData(a);
    return a;
}

// Whole numbers from 0 to high, not all equal.
bool Whole(const Matrix& m, double high) {
    const Rows rows = ToRows(m);
    bool ok = !rows.empty(), varies = false;
    for (const auto& row : rows)
        for (double v : row) ok = ok && v == std::floor(v) && v >= 0 && v <= high, varies = varies || v != rows[0][0];
    return ok && varies;
}

}  // namespace

CLIENT_GROUP(Dispatch) {
    Matrix m = NewMatrix();
    if (!m) return;
    VARIANT r;
    double item = 0;
    CHECK_HR(Call(m.Get(), kSize, DISPATCH_METHOD, {Long(2), Long(3)}, nullptr), "Size by identifier");
    CHECK_HR(Call(m.Get(), DISPID_VALUE, DISPATCH_PROPERTYPUT, {Long(1), Long(2), Double(6.5)}, nullptr, nullptr,
                  {DISPID_PROPERTYPUT}), "default member let");
    m->get_Item(1, 2, &item);
    CHECK_HR(Call(m.Get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {Long(1), Long(2)}, &r), "default member get");
    CHECK(item == 6.5 && V_VT(&r) == VT_R8 && V_R8(&r) == 6.5, "the default member is Item");
    // FillRandom(): 0 to 10, whole numbers; FillRandom(HighLimit:=1) by name.
    DISPID ids[2] = {};
    LPOLESTR names[2] = {const_cast<LPOLESTR>(L"FillRandom"), const_cast<LPOLESTR>(L"HighLimit")};
    CHECK(SUCCEEDED(m->GetIDsOfNames(IID_NULL, names, 2, 0x409, ids)) && ids[0] == kFillRandom, "GetIDsOfNames");
    m->Size(12, 12);
    CHECK(SUCCEEDED(Call(m.Get(), kFillRandom, DISPATCH_METHOD, {}, nullptr)) && Whole(m, 10), "FillRandom() defaults");
    CHECK(SUCCEEDED(Call(m.Get(), kFillRandom, DISPATCH_METHOD, {Double(1)}, nullptr, nullptr, {ids[1]})) && Whole(m, 1),
          "FillRandom(HighLimit:=1) keeps the other defaults");
    // GetString() is GetString(3, CR LF); IsEqualTo(b) uses 1e-09.
    CHECK_HR(Call(FromRows({{1, -2.5}, {10, 0}}).Get(), kGetString, DISPATCH_METHOD, {}, &r), "GetString()");
    CHECK(V_VT(&r) == VT_BSTR && std::wstring(V_BSTR(&r)) == L"|  1.000 -2.500 |\r\n| 10.000  0.000 |\r\n",
          "GetString() uses 3 decimals and CR LF");
    VariantClear(&r);
    Matrix a = FromRows({{1, 2}}), b = FromRows({{1 + 5e-10, 2}});
    IMatrixDual* bRef = b.Get();
    for (VARIANT_BOOL expected : {VARIANT_TRUE, VARIANT_FALSE}) {
        CHECK(SUCCEEDED(Call(a.Get(), kIsEqualTo, DISPATCH_METHOD, {ObjectRef(&bRef)}, &r)) && V_VT(&r) == VT_BOOL &&
                  V_BOOL(&r) == expected, "IsEqualTo(b) compares within 1e-09");
        b->put_Item(0, 0, 1 + 2e-9);
    }
    // Every decomposition with its outputs omitted: by count, by "parameter
    // not found" markers, as Null, and with only the second output given.
    Matrix square = FromRows({{4, 1, 0}, {1, 3, 1}, {0, 1, 2}});
    const DISPID decompositions[][2] = {{kLU, 4}, {kLUdc, 4}, {kCholesky, 1}, {kCHOLdc, 1}, {kQR, 2}, {kSVD, 3}, {kEigen, 4}};
    for (const auto& [id, params] : decompositions) {
        const std::string name = WithHr("decomposition", id);
        CHECK_HR(Call(square.Get(), id, DISPATCH_METHOD, {}, nullptr), name + " with no arguments");
        CHECK_HR(Call(square.Get(), id, DISPATCH_METHOD, std::vector<VARIANT>(size_t(params), Missing()), nullptr),
                 name + " with missing markers");
        CHECK_HR(Call(square.Get(), id, DISPATCH_METHOD, {Var(VT_NULL)}, nullptr), name + "(Null)");
        Matrix target = NewMatrix();
        IMatrixDual* ref = target.Get();
        std::vector<VARIANT> args{ObjectRef(&ref)};
        if (params >= 2) args.insert(args.begin(), Missing());
        CHECK(SUCCEEDED(Call(square.Get(), id, DISPATCH_METHOD, args, nullptr)) && ToRows(target).size() == 3,
              name + " with one output given fills it");
    }
}

CLIENT_GROUP(Arrays) {
    Matrix m = NewMatrix();
    if (!m) return;
    SAFEARRAY* in = MakeArray(0, 2, 0, 3, 1);
    CHECK(SUCCEEDED(m->put_AsArray(&in)) && Same(m, Rows{{1, 3, 5}, {2, 4, 6}}), "AsArray let: column-major");
    SafeArrayDestroy(in);
    SAFEARRAY* out = nullptr;
    LONG bounds[4] = {-1, -1, -1, -1}, at[2] = {1, 2};
    double v = 0;
    if (SUCCEEDED(m->get_AsArray(&out)) && out && SafeArrayGetDim(out) == 2 && out->cbElements == sizeof(double)) {
        for (UINT d = 1; d <= 2; ++d) SafeArrayGetLBound(out, d, &bounds[2 * d - 2]), SafeArrayGetUBound(out, d, &bounds[2 * d - 1]);
        SafeArrayGetElement(out, at, &v);
    }
    SafeArrayDestroy(out);
    CHECK(bounds[0] == 0 && bounds[1] == 1 && bounds[2] == 0 && bounds[3] == 2 && v == 6, "AsArray get: (0 To 1, 0 To 2)");
    SAFEARRAY* column = MakeArray(0, 4, 0, 0, 7);
    CHECK_HR(m->put_AsArray(&column), "AsArray let, one dimension");
    SafeArrayDestroy(column);
    for (SAFEARRAY* shifted : {MakeArray(1, 2, 0, 2, 0), MakeArray(0, 2, 1, 2, 0)}) {
        CheckMatrixError(m->put_AsArray(&shifted), 4, 1107, L"Array is not zero based.", "AsArray let, not zero based");
        SafeArrayDestroy(shifted);
    }
    CHECK(Same(m, Rows{{7}, {8}, {9}, {10}}), "a one-dimensional array becomes a column; rejected ones change nothing");
    SAFEARRAY* noStorage = nullptr;
    CHECK(m->put_AsArray(&noStorage) == kSubscript, "an array without storage: subscript error");
    VARIANT value = Var(VT_ARRAY | VT_R8);
    V_ARRAY(&value) = MakeArray(0, 1, 0, 2, 4);
    CHECK(SUCCEEDED(Call(m.Get(), kAsArray, DISPATCH_PROPERTYPUT, {value}, nullptr, nullptr, {DISPID_PROPERTYPUT})) &&
              Same(m, Rows{{4, 5}}), "AsArray let by identifier");
}

CLIENT_GROUP(Errors) {
    Matrix m = FromRows({{1, 2}, {3, 4}}), wide = FromRows({{1, 2, 3}}), result;
    if (!m || !wide) return;
    double v = 0;
    IMatrixDual* w = wide.Get();
    CheckMatrixError(m->put_Rows(0), 1, 1101, L"Invalid number of rows.", "Rows = 0");
    CheckMatrixError(m->Plus(&w, result.Out()), 12, 1110, L"Matrices do not have the same size.", "Plus");
    CheckMatrixError(wide->Solve(&w, result.Out()), 9, 1117,
                     L"Not as square Matrix. System of equations can not be solved.", "Solve");
    // A non-square LU writes no output; a failed Cholesky radicand sets the
    // caller's reference to Nothing, by vtable and by identifier.
    VARIANT perm = Var(VT_I4);
    long sign = 5;
    CheckMatrixError(wide->LU(nullptr, nullptr, &perm, &sign), 5, 1127,
                     L"This operation is possible only for a square Matrix.", "LU of 1 x 3");
    CHECK(V_VT(&perm) == VT_I4 && sign == 5, "LU of 1 x 3 writes no output");
    Matrix spd = FromRows({{1, 2}, {2, 1}}), factor = FromRows({{1}}), keep = FromRows({{3}});
    CheckMatrixError(spd->Cholesky(factor.InOut()), 14, 1128, L"Not a symmetric positive definite matrix.", "Cholesky");
    IMatrixDual* held = keep.Get();
    held->AddRef();
    CHECK(!factor && Call(spd.Get(), kCHOLdc, DISPATCH_METHOD, {ObjectRef(&held)}, nullptr) == DISP_E_EXCEPTION &&
              !held, "a failed Cholesky empties the output");
    // The same record through IDispatch::Invoke.
    EXCEPINFO e{};
    const HRESULT hr = Call(m.Get(), kRows, DISPATCH_PROPERTYPUT, {Long(0)}, nullptr, &e, {DISPID_PROPERTYPUT});
    CHECK(hr == DISP_E_EXCEPTION && e.scode == SCODE(0x80040515) && e.dwHelpContext == 1101 && e.bstrDescription &&
              std::wstring(e.bstrDescription) == L"KestrimMatrixLib.Matrix Error Number: 1301\r\rInvalid number of rows." &&
              e.bstrHelpFile && EndsWith(e.bstrHelpFile, L"/KTMatrixLib.CHM"), WithHr("EXCEPINFO of Rows = 0", hr));
    for (BSTR text : {e.bstrSource, e.bstrDescription, e.bstrHelpFile}) SysFreeString(text);
    // Runtime errors keep their own numbers.
    Matrix big = FromRows({{1.7976931348623157e308}});
    IMatrixDual *bigRef = big.Get(), *null = nullptr;
    CHECK(big->Plus(&bigRef, result.Out()) == HRESULT(0x800A0006), "overflow");
    CHECK(NewMatrix()->get_Item(0, 0, &v) == kSubscript, "Item of a matrix without storage: subscript error");
    CHECK(m->Plus(&null, result.Out()) == kMissingObject && m->Times(nullptr, result.Out()) == kMissingObject &&
              Call(m.Get(), kPlus, DISPATCH_METHOD, {ObjectRef(&null)}, nullptr) == DISP_E_EXCEPTION,
          "Plus(Nothing): missing object");
}

}  // namespace client
