// Calls through the vtable and by dispatch identifier: elements, default
// member, omitted optional arguments, safe arrays, error records, Matrix
// arguments, and the decompositions' by-reference outputs.
#include <cmath>
#include <string>

#include "ClientSupport.h"

namespace client {
namespace {

using namespace kestrim::automation;

constexpr DISPID kSize = 0x60030009, kFillRandom = 0x6003000A, kRows = 0x68030005, kAsArray = 0x68030001,
                 kPlus = 0x6003000F, kIsEqualTo = 0x6003001A, kGetString = 0x6003001D, kLUdc = 0x6003001E,
                 kLU = 0x6003001F, kCHOLdc = 0x60030020, kCholesky = 0x60030021, kQR = 0x60030026,
                 kSVD = 0x6003002C, kEigen = 0x6003002D, kNormalize = 0x6003001B;

constexpr HRESULT kTypeMismatch = static_cast<HRESULT>(0x800A000D);
constexpr HRESULT kMissingObject = static_cast<HRESULT>(0x800A005B);
constexpr HRESULT kSubscript = static_cast<HRESULT>(0x800A0009);

IDispatch* Disp(const Matrix& m) { return m.Get(); }

SAFEARRAY* MakeArray(long lower1, long count1, long lower2, long count2, double first) {
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(count1), lower1}, {static_cast<ULONG>(count2), lower2}};
    SAFEARRAY* a = SafeArrayCreate(VT_R8, count2 > 0 ? 2 : 1, bounds);
    double* data = nullptr;
    SafeArrayAccessData(a, reinterpret_cast<void**>(&data));
    const long n = count1 * (count2 > 0 ? count2 : 1);
    for (long k = 0; k < n; ++k) data[k] = first + k;
    SafeArrayUnaccessData(a);
    return a;
}

// An object that claims to be a _Matrix but is not one of the server's. The
// server must never call into it as a _Matrix (its vtable ends after
// IDispatch, so such a call would crash the client).
class Impostor final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kMatrixInterfaceId) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    ULONG refs = 1;
};

}  // namespace

CLIENT_GROUP(Elements) {
    Matrix m = NewMatrix();
    if (!m) return;
    long rows = 0, cols = 0, max = 0;
    VARIANT_BOOL events = VARIANT_TRUE;
    m->get_Rows(&rows);
    m->get_Cols(&cols);
    m->get_MaxSize(&max);
    m->get_FireEvents(&events);
    CHECK(rows == 1 && cols == 1 && max == 2147483647 && events == VARIANT_FALSE, "a new object");
    BSTR version = nullptr;
    m->get_Version(&version);
    CHECK(version && std::wstring(version) == L"2.1.435", "Version");
    SysFreeString(version);

    // Size and the default member by dispatch identifier.
    VARIANT r;
    CHECK_HR(Call(Disp(m), kSize, DISPATCH_METHOD, {Long(2), Long(3)}, nullptr), "Size by identifier");
    CHECK_HR(Call(Disp(m), DISPID_VALUE, DISPATCH_PROPERTYPUT, {Long(1), Long(2), Double(6.5)}, nullptr, nullptr,
                  {DISPID_PROPERTYPUT}),
             "Item let through identifier 0");
    double item = 0;
    m->get_Item(1, 2, &item);
    CHECK(item == 6.5, "the default member wrote element (1, 2)");
    CHECK_HR(Call(Disp(m), DISPID_VALUE, DISPATCH_PROPERTYGET, {Long(1), Long(2)}, &r), "Item get through identifier 0");
    CHECK(V_VT(&r) == VT_R8 && V_R8(&r) == 6.5, "the default member reads element (1, 2)");
    CHECK_HR(Call(Disp(m), kRows, DISPATCH_PROPERTYGET, {}, &r), "Rows by identifier");
    CHECK(V_VT(&r) == VT_I4 && V_I4(&r) == 2, "Rows is 2");

    DISPID ids[2] = {};
    LPOLESTR names[2] = {const_cast<LPOLESTR>(L"FillRandom"), const_cast<LPOLESTR>(L"HighLimit")};
    CHECK(SUCCEEDED(m->GetIDsOfNames(IID_NULL, names, 2, 0x409, ids)) && ids[0] == kFillRandom,
          "GetIDsOfNames FillRandom");
    LPOLESTR unknown = const_cast<LPOLESTR>(L"NoSuchMember");
    DISPID none = 0;
    CHECK(m->GetIDsOfNames(IID_NULL, &unknown, 1, 0x409, &none) == DISP_E_UNKNOWNNAME, "unknown name");
    UINT infoCount = 0;
    m->GetTypeInfoCount(&infoCount);
    Ptr<ITypeInfo> info;
    CHECK(infoCount == 1 && SUCCEEDED(m->GetTypeInfo(0, 0x409, info.Out())) && info, "GetTypeInfo");

    // Omitted FillRandom arguments: 0 to 10, no decimals.
    m->Size(12, 12);
    CHECK_HR(Call(Disp(m), kFillRandom, DISPATCH_METHOD, {}, nullptr), "FillRandom()");
    bool integral = true, inRange = true, varies = false;
    double first = 0;
    m->get_Item(0, 0, &first);
    for (long i = 0; i < 12; ++i)
        for (long j = 0; j < 12; ++j) {
            double v = 0;
            m->get_Item(i, j, &v);
            integral = integral && v == std::floor(v);
            inRange = inRange && v >= 0 && v <= 10;
            varies = varies || v != first;
        }
    CHECK(integral && inRange && varies, "FillRandom() fills integers from 0 to 10");
    // Only HighLimit, by name: 0 to 1 without decimals.
    CHECK_HR(Call(Disp(m), kFillRandom, DISPATCH_METHOD, {Double(1)}, nullptr, nullptr, {ids[1]}),
             "FillRandom(HighLimit:=1)");
    bool zeroOrOne = true;
    for (long i = 0; i < 12; ++i)
        for (long j = 0; j < 12; ++j) {
            double v = 0;
            m->get_Item(i, j, &v);
            zeroOrOne = zeroOrOne && (v == 0 || v == 1);
        }
    CHECK(zeroOrOne, "FillRandom with a named HighLimit only");

    // GetString() equals GetString(3, CR LF).
    Matrix g = FromRows({{1, -2.5}, {10, 0}});
    CHECK_HR(Call(Disp(g), kGetString, DISPATCH_METHOD, {}, &r), "GetString()");
    CHECK(V_VT(&r) == VT_BSTR && std::wstring(V_BSTR(&r)) == L"|  1.000 -2.500 |\r\n| 10.000  0.000 |\r\n",
          "GetString() uses 3 decimals and CR LF");
    VariantClear(&r);
    CHECK_HR(Call(Disp(g), kGetString, DISPATCH_METHOD, {Long(0)}, &r), "GetString(0)");
    BSTR direct = nullptr;
    BSTR crlf = SysAllocString(L"\r\n");
    g->GetString(0, crlf, &direct);
    CHECK(V_VT(&r) == VT_BSTR && direct && std::wstring(V_BSTR(&r)) == direct, "GetString(0) ends lines with CR LF");
    SysFreeString(direct);
    SysFreeString(crlf);
    VariantClear(&r);

    // IsEqualTo(m) uses 1e-09.
    Matrix a = FromRows({{1, 2}});
    Matrix b = FromRows({{1 + 5e-10, 2}});
    IMatrixDual* bRef = b.Get();
    CHECK_HR(Call(Disp(a), kIsEqualTo, DISPATCH_METHOD, {ObjectRef(&bRef)}, &r), "IsEqualTo(b)");
    CHECK(V_VT(&r) == VT_BOOL && V_BOOL(&r) == VARIANT_TRUE, "IsEqualTo() within 1e-09");
    b->put_Item(0, 0, 1 + 2e-9);
    CHECK_HR(Call(Disp(a), kIsEqualTo, DISPATCH_METHOD, {ObjectRef(&bRef)}, &r), "IsEqualTo(b)");
    CHECK(V_VT(&r) == VT_BOOL && V_BOOL(&r) == VARIANT_FALSE, "IsEqualTo() beyond 1e-09");

    // Normalize with its optional by-reference value omitted and given.
    Matrix n = FromRows({{2, -8}, {4, 1}});
    CHECK_HR(Call(Disp(n), kNormalize, DISPATCH_METHOD, {}, &r), "Normalize()");
    Matrix normalized;
    if (V_VT(&r) == VT_DISPATCH && V_DISPATCH(&r))
        V_DISPATCH(&r)->QueryInterface(kMatrixInterfaceId, reinterpret_cast<void**>(normalized.Out()));
    VariantClear(&r);
    CHECK(Near(ToRows(normalized), {{-0.25, 1}, {-0.5, -0.125}}, 0), "Normalize() result");
    double norm = 0;
    Matrix viaVtable;
    CHECK_HR(n->Normalize(&norm, viaVtable.Out()), "Normalize(&norm)");
    CHECK(norm == -8, "Normalize reports the divisor");
}

CLIENT_GROUP(Arrays) {
    Matrix m = NewMatrix();
    if (!m) return;
    SAFEARRAY* in = MakeArray(0, 2, 0, 3, 1);  // column-major: (0,0)=1 (1,0)=2 (0,1)=3 ...
    CHECK_HR(m->put_AsArray(&in), "AsArray let, 2 x 3");
    CHECK(Near(ToRows(m), {{1, 3, 5}, {2, 4, 6}}, 0), "AsArray let keeps the column-major layout");
    double* data = nullptr;
    SafeArrayAccessData(in, reinterpret_cast<void**>(&data));
    data[0] = 99;
    SafeArrayUnaccessData(in);
    double item = 0;
    m->get_Item(0, 0, &item);
    CHECK(item == 1, "the matrix does not share the caller's array");
    SafeArrayDestroy(in);

    SAFEARRAY* out = nullptr;
    CHECK_HR(m->get_AsArray(&out), "AsArray get");
    if (out) {
        LONG l1 = -1, u1 = -1, l2 = -1, u2 = -1;
        SafeArrayGetLBound(out, 1, &l1);
        SafeArrayGetUBound(out, 1, &u1);
        SafeArrayGetLBound(out, 2, &l2);
        SafeArrayGetUBound(out, 2, &u2);
        VARTYPE vt = VT_EMPTY;
        SafeArrayGetVartype(out, &vt);
        CHECK(SafeArrayGetDim(out) == 2 && vt == VT_R8 && l1 == 0 && u1 == 1 && l2 == 0 && u2 == 2,
              "AsArray get: Double (0 To 1, 0 To 2)");
        LONG at[2] = {1, 2};
        double v = 0;
        SafeArrayGetElement(out, at, &v);
        CHECK(v == 6, "AsArray get: element (1, 2)");
        SafeArrayDestroy(out);
    }

    SAFEARRAY* column = MakeArray(0, 4, 0, 0, 7);
    CHECK_HR(m->put_AsArray(&column), "AsArray let, one dimension");
    CHECK(Near(ToRows(m), {{7}, {8}, {9}, {10}}, 0), "a one-dimensional array becomes a column");
    SafeArrayDestroy(column);

    SAFEARRAY* shifted = MakeArray(1, 2, 0, 2, 0);
    CheckMatrixError(m->put_AsArray(&shifted), 4, 1107, L"Array is not zero based.", "AsArray let (1 To 2, 0 To 1)");
    SafeArrayDestroy(shifted);
    shifted = MakeArray(0, 2, 1, 2, 0);
    CheckMatrixError(m->put_AsArray(&shifted), 4, 1107, L"Array is not zero based.", "AsArray let (0 To 1, 1 To 2)");
    SafeArrayDestroy(shifted);
    CHECK(Near(ToRows(m), {{7}, {8}, {9}, {10}}, 0), "a rejected array leaves the matrix");
    SAFEARRAY* noStorage = nullptr;
    CHECK(m->put_AsArray(&noStorage) == kSubscript, "an array without storage: subscript error");

    // By dispatch: a property put with the array as value, and a get.
    SAFEARRAY* viaDispatch = MakeArray(0, 1, 0, 2, 4);
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_ARRAY | VT_R8;
    V_ARRAY(&value) = viaDispatch;  // Call clears it
    CHECK_HR(Call(Disp(m), kAsArray, DISPATCH_PROPERTYPUT, {value}, nullptr, nullptr, {DISPID_PROPERTYPUT}),
             "AsArray let by identifier");
    CHECK(Near(ToRows(m), {{4, 5}}, 0), "AsArray let by identifier: 1 x 2");
    VARIANT r;
    CHECK_HR(Call(Disp(m), kAsArray, DISPATCH_PROPERTYGET, {}, &r), "AsArray get by identifier");
    CHECK(V_VT(&r) == (VT_ARRAY | VT_R8) && SafeArrayGetDim(V_ARRAY(&r)) == 2, "AsArray get: array of Double");
    VariantClear(&r);

    // Clone is independent and starts with events off.
    VARIANT_BOOL on = VARIANT_TRUE;
    m->put_FireEvents(&on);
    Matrix clone;
    CHECK_HR(m->Clone(clone.Out()), "Clone");
    VARIANT_BOOL cloneEvents = VARIANT_TRUE;
    if (clone) clone->get_FireEvents(&cloneEvents);
    CHECK(clone && cloneEvents == VARIANT_FALSE && Near(ToRows(clone), {{4, 5}}, 0), "Clone");
    CHECK(clone.Get() != m.Get(), "Clone is a new object");
}

CLIENT_GROUP(Errors) {
    Matrix m = FromRows({{1, 2}, {3, 4}});
    if (!m) return;
    Ptr<ISupportErrorInfo> support = m.As<ISupportErrorInfo>(IID_ISupportErrorInfo);
    CHECK(support && support->InterfaceSupportsErrorInfo(kMatrixInterfaceId) == S_OK, "ISupportErrorInfo for _Matrix");

    CheckMatrixError(m->put_Rows(0), 1, 1101, L"Invalid number of rows.", "Rows = 0");
    CheckMatrixError(m->Size(5, 0), 2, 1103, L"Invalid number of columns.", "Size(5, 0)");
    double v = 0;
    CheckMatrixError(m->get_Item(0, 99, &v), 20, 1105, L"Column index exceeds matrix size.", "Item(0, 99)");
    Matrix wide = FromRows({{1, 2, 3}});
    Matrix result;
    IMatrixDual* w = wide.Get();
    CheckMatrixError(m->Plus(&w, result.Out()), 12, 1110, L"Matrices do not have the same size.", "Plus");
    CheckMatrixError(wide->Solve(&w, result.Out()), 9, 1117,
                     L"Not as square Matrix. System of equations can not be solved.", "Solve");
    CheckMatrixError(wide->SolveGauss(&w, result.Out()), 9, 1118,
                     L"Not a square Matrix. System of equations can not be solved.", "SolveGauss");

    // The same record through IDispatch::Invoke.
    EXCEPINFO e{};
    const HRESULT hr = Call(Disp(m), kRows, DISPATCH_PROPERTYPUT, {Long(0)}, nullptr, &e, {DISPID_PROPERTYPUT});
    CHECK(hr == DISP_E_EXCEPTION, WithHr("Rows = 0 by identifier", hr));
    CHECK(e.scode == static_cast<SCODE>(0x80040515), "EXCEPINFO scode");
    CHECK(e.bstrDescription &&
              std::wstring(e.bstrDescription) == L"KestrimMatrixLib.Matrix Error Number: 1301\r\rInvalid number of rows.",
          "EXCEPINFO description");
    CHECK(e.dwHelpContext == 1101, "EXCEPINFO help context");
    CHECK(e.bstrHelpFile && std::wstring(e.bstrHelpFile).find(L"/KTMatrixLib.CHM") != std::wstring::npos,
          "EXCEPINFO help file");
    SysFreeString(e.bstrDescription);
    SysFreeString(e.bstrHelpFile);
    SysFreeString(e.bstrSource);

    // Runtime errors keep their own numbers.
    Matrix big = FromRows({{1.7976931348623157e308}});
    IMatrixDual* bigRef = big.Get();
    CHECK(big->Plus(&bigRef, result.Out()) == static_cast<HRESULT>(0x800A0006), "overflow error");
    Matrix empty = NewMatrix();
    CHECK(empty->get_Item(0, 0, &v) == kSubscript, "Item of a matrix without storage: subscript error");
}

CLIENT_GROUP(MatrixArguments) {
    Matrix a = FromRows({{1, 2}, {3, 4}});
    Matrix b = FromRows({{10, 20}, {30, 40}});
    if (!a || !b) return;
    IMatrixDual* bRef = b.Get();
    Matrix sum;
    CHECK_HR(a->Plus(&bRef, sum.Out()), "Plus");
    CHECK(Near(ToRows(sum), {{11, 22}, {33, 44}}, 0) && sum.Get() != a.Get() && sum.Get() != b.Get(),
          "Plus returns a new object");
    // The receiver as its own argument.
    IMatrixDual* self = a.Get();
    CHECK_HR(a->PlusEquals(&self), "PlusEquals with itself");
    CHECK(Near(ToRows(a), {{2, 4}, {6, 8}}, 0), "PlusEquals with itself doubles");

    IMatrixDual* null = nullptr;
    Matrix result;
    CHECK(a->Plus(&null, result.Out()) == kMissingObject && !result, "Plus(Nothing): missing object");
    CHECK(a->Times(nullptr, result.Out()) == kMissingObject, "Times with no reference at all: missing object");
    VARIANT r;
    CHECK(Call(Disp(a), kPlus, DISPATCH_METHOD, {ObjectRef(&null)}, &r) == DISP_E_EXCEPTION,
          "Plus(Nothing) by identifier raises");

    Impostor impostor;
    IMatrixDual* fake = reinterpret_cast<IMatrixDual*>(static_cast<IDispatch*>(&impostor));
    CHECK(a->Plus(&fake, result.Out()) == kTypeMismatch, "another object as a Matrix: type mismatch");
    Matrix l = NewMatrix();
    IMatrixDual* outputs[2] = {fake, l.Get()};
    CHECK(a->QR(&outputs[0], &outputs[1]) == kTypeMismatch, "another object as an output: type mismatch");
    CHECK(impostor.refs == 1, "the impostor's references are balanced");

    // RearrangeRows hands the updated index back in the caller's array.
    Matrix rows = FromRows({{10}, {11}, {12}});
    SAFEARRAYBOUND bound{3, 0};
    VARIANT index;
    VariantInit(&index);
    V_VT(&index) = VT_ARRAY | VT_I4;
    V_ARRAY(&index) = SafeArrayCreate(VT_I4, 1, &bound);
    LONG values[3] = {1, 2, 0};
    for (LONG i = 0; i < 3; ++i) SafeArrayPutElement(V_ARRAY(&index), &i, &values[i]);
    CHECK_HR(rows->RearrangeRows(&index), "RearrangeRows with an array of Long");
    CHECK(Near(ToRows(rows), {{12}, {10}, {11}}, 0), "RearrangeRows (1, 2, 0)");
    bool identity = V_VT(&index) == (VT_ARRAY | VT_I4);
    for (LONG i = 0; i < 3 && identity; ++i) {
        LONG x = -1;
        SafeArrayGetElement(V_ARRAY(&index), &i, &x);
        identity = x == i;
    }
    CHECK(identity, "the index comes back as (0, 1, 2), still an array of Long");
    VariantClear(&index);
}

CLIENT_GROUP(Decompositions) {
    // LU through the vtable: the worked example.
    Matrix a = FromRows({{1, 2}, {2, 4}});
    if (!a) return;
    Matrix l = NewMatrix(), u = NewMatrix();
    VARIANT perm;
    VariantInit(&perm);
    long sign = 0;
    CHECK_HR(a->LU(l.InOut(), u.InOut(), &perm, &sign), "LU");
    CHECK(Near(ToRows(l), {{1, 0}, {0.5, 1}}, 0), "LU: L");
    CHECK(Near(ToRows(u), {{2, 4}, {0, 1e-20}}, 0), "LU: U");
    CHECK(sign == -1, "LU: PermSign");
    bool permOk = V_VT(&perm) == (VT_ARRAY | VT_VARIANT) && SafeArrayGetDim(V_ARRAY(&perm)) == 1;
    for (LONG i = 0; i < 2 && permOk; ++i) {
        VARIANT e;
        VariantInit(&e);
        SafeArrayGetElement(V_ARRAY(&perm), &i, &e);
        permOk = V_VT(&e) == VT_I4 && V_I4(&e) == 1 - i;
        VariantClear(&e);
    }
    CHECK(permOk, "LU: PermIndex is (1, 0), variants holding Longs");
    VariantClear(&perm);
    CHECK_HR(a->LUdc(nullptr, nullptr, nullptr, nullptr), "LUdc with every output omitted");

    // A non-square receiver leaves the permutation outputs alone.
    Matrix wide = FromRows({{1, 2, 3}, {4, 5, 6}});
    V_VT(&perm) = VT_I4;
    V_I4(&perm) = 77;
    sign = 5;
    CheckMatrixError(wide->LU(nullptr, nullptr, &perm, &sign), 5, 1127,
                     L"This operation is possible only for a square Matrix.", "LU of 2 x 3");
    CHECK(V_VT(&perm) == VT_I4 && V_I4(&perm) == 77 && sign == 5, "LU of 2 x 3 writes no output");
    // A zero row: the identity permutation is already written.
    CheckMatrixError(FromRows({{1, 2}, {0, 0}})->LU(nullptr, nullptr, &perm, &sign), 13, 1127,
                     L"Decomposition is not possible for a singular matrix.", "LU with a zero row");
    CHECK(V_VT(&perm) == (VT_ARRAY | VT_VARIANT) && sign == 1, "LU with a zero row: identity written");
    VariantClear(&perm);

    // Cholesky empties the caller's reference on a failed radicand...
    Matrix spd = FromRows({{1, 2}, {2, 1}});
    Matrix factor = FromRows({{1, 2, 3, 4, 5}, {6, 7, 8, 9, 10}});
    CheckMatrixError(spd->Cholesky(factor.InOut()), 14, 1128, L"Not a symmetric positive definite matrix.",
                     "Cholesky with d < 0");
    CHECK(!factor, "Cholesky set the caller's reference to Nothing");
    // ...also when called by identifier with the variable by reference.
    Matrix heldOwner = FromRows({{3}});
    IMatrixDual* held = heldOwner.Get();
    held->AddRef();
    IMatrixDual* heldCopy = held;
    heldCopy->AddRef();
    CHECK(Call(Disp(spd), kCHOLdc, DISPATCH_METHOD, {ObjectRef(&held)}, nullptr) == DISP_E_EXCEPTION,
          "CHOLdc by identifier fails");
    CHECK(held == nullptr, "CHOLdc by identifier emptied the variable");
    heldCopy->Release();
    // ...but not on an asymmetric pair.
    Matrix kept = NewMatrix();
    CheckMatrixError(FromRows({{1, 2}, {3, 4}})->Cholesky(kept.InOut()), 14, 1128,
                     L"Not a symmetric positive definite matrix.", "Cholesky of an asymmetric matrix");
    CHECK(static_cast<bool>(kept), "an asymmetric matrix leaves the reference");
    Matrix good = NewMatrix();
    CHECK_HR(FromRows({{4, 2}, {2, 3}})->Cholesky(good.InOut()), "Cholesky");
    CHECK(Near(ToRows(good), {{2, 0}, {1, std::sqrt(2.0)}}, 1e-15), "Cholesky factor");

    // Every decomposition by identifier with its outputs omitted: by
    // count, by explicit "parameter not found" markers, and one output
    // given between omitted ones.
    Matrix square = FromRows({{4, 1, 0}, {1, 3, 1}, {0, 1, 2}});
    const struct {
        DISPID id;
        int params;
        const char* name;
    } members[] = {{kLU, 4, "LU"},  {kLUdc, 4, "LUdc"}, {kCholesky, 1, "Cholesky"}, {kCHOLdc, 1, "CHOLdc"},
                   {kQR, 2, "QR"},  {kSVD, 3, "SVD"},   {kEigen, 4, "Eigen"}};
    for (const auto& member : members) {
        CHECK_HR(Call(Disp(square), member.id, DISPATCH_METHOD, {}, nullptr),
                 std::string(member.name) + "() by identifier");
        std::vector<VARIANT> markers;
        for (int i = 0; i < member.params; ++i) markers.push_back(Missing());
        CHECK_HR(Call(Disp(square), member.id, DISPATCH_METHOD, markers, nullptr),
                 std::string(member.name) + " with every argument marked missing");
        Matrix target = NewMatrix();
        IMatrixDual* ref = target.Get();
        std::vector<VARIANT> args;
        const int given = member.params >= 2 ? 1 : 0;  // the second output where there is one
        for (int i = 0; i <= given; ++i) args.push_back(i == given ? ObjectRef(&ref) : Missing());
        CHECK_HR(Call(Disp(square), member.id, DISPATCH_METHOD, args, nullptr),
                 std::string(member.name) + " with one output given");
        long rows = 0;
        target->get_Rows(&rows);
        CHECK(rows == 3, std::string(member.name) + ": the given output was filled");
    }
    // LU by identifier with only PermIndex, passed by name.
    DISPID luIds[2] = {};
    LPOLESTR luNames[2] = {const_cast<LPOLESTR>(L"LU"), const_cast<LPOLESTR>(L"PermIndex")};
    CHECK(SUCCEEDED(square->GetIDsOfNames(IID_NULL, luNames, 2, 0x409, luIds)) && luIds[0] == kLU,
          "names of LU and PermIndex");
    VARIANT permOut;
    VariantInit(&permOut);
    VARIANT permArg;
    VariantInit(&permArg);
    V_VT(&permArg) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&permArg) = &permOut;
    CHECK_HR(Call(Disp(square), kLU, DISPATCH_METHOD, {permArg}, nullptr, nullptr, {luIds[1]}), "LU(PermIndex:=p)");
    CHECK(V_VT(&permOut) == (VT_ARRAY | VT_VARIANT), "LU(PermIndex:=p) wrote the permutation");
    VariantClear(&permOut);

    // The scripts' spelling of "no object": Null and Empty.
    VARIANT nullArg;
    VariantInit(&nullArg);
    V_VT(&nullArg) = VT_NULL;
    CHECK_HR(Call(Disp(square), kQR, DISPATCH_METHOD, {nullArg, Missing()}, nullptr), "QR(Null)");
    CHECK(Call(Disp(square), kPlus, DISPATCH_METHOD, {nullArg}, nullptr) == DISP_E_EXCEPTION, "Plus(Null) raises");

    // ITypeInfo::Invoke used directly, without the object's Invoke, still
    // does not reach into the "parameter not found" marker.
    Ptr<ITypeInfo> dispatchInfo, vtable;
    square->GetTypeInfo(0, 0x409, dispatchInfo.Out());
    HREFTYPE ref = 0;
    if (dispatchInfo && SUCCEEDED(dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)))
        dispatchInfo->GetRefTypeInfo(ref, vtable.Out());
    CHECK(static_cast<bool>(vtable), "vtable type information");
    if (vtable) {
        for (DISPID id : {kQR, kSVD, kEigen, kCholesky}) {
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            EXCEPINFO e{};
            UINT argError = 0;
            const HRESULT hr = vtable->Invoke(square.Get(), id, DISPATCH_METHOD, &none, nullptr, &e, &argError);
            CHECK(SUCCEEDED(hr), WithHr("direct ITypeInfo::Invoke with omitted outputs", hr));
        }
    }

    // QR, SVD and Eigen fill the caller's objects.
    Matrix tall = FromRows({{1, 2}, {3, 4}, {5, 7}});
    Matrix q = NewMatrix(), rr = NewMatrix();
    CHECK_HR(tall->QR(q.InOut(), rr.InOut()), "QR");
    Matrix qr;
    IMatrixDual* rRef = rr.Get();
    if (q) q->Times(&rRef, qr.Out());
    CHECK(Near(ToRows(qr), {{1, 2}, {3, 4}, {5, 7}}, 1e-12), "QR: Q R = A");
    Matrix su = NewMatrix(), ss = NewMatrix(), sv = NewMatrix();
    CHECK_HR(tall->SVD(su.InOut(), ss.InOut(), sv.InOut()), "SVD");
    Matrix us, vt, usv;
    IMatrixDual* sRef = ss.Get();
    su->Times(&sRef, us.Out());
    sv->Transpose(vt.Out());
    IMatrixDual* vtRef = vt.Get();
    if (us) us->Times(&vtRef, usv.Out());
    CHECK(Near(ToRows(usv), {{1, 2}, {3, 4}, {5, 7}}, 1e-12), "SVD: U S V' = A");
    Matrix wr = NewMatrix(), wi = NewMatrix();
    CHECK_HR(FromRows({{0, 1}, {-1, 0}})->Eigen(wr.InOut(), wi.InOut(), nullptr, nullptr), "Eigen of a rotation");
    const Rows im = ToRows(wi), re = ToRows(wr);
    CHECK(im.size() == 2 && std::fabs(std::fabs(im[0][0]) - 1) < 1e-15 && im[0][0] == -im[1][0] && re[0][0] == 0,
          "Eigen: the rotation has eigenvalues +i and -i");
}

}  // namespace client
