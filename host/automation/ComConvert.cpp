#include "host/automation/ComConvert.h"

#include <oleauto.h>

#include <cstring>
#include <new>
#include <vector>

#include "host/automation/ComIds.h"
#include "host/runtime/ComponentInfo.h"

namespace kestrim::automation {

namespace {

// Frees a SAFEARRAY unless ownership was handed on.
struct SafeArrayHolder {
    SAFEARRAY* array = nullptr;
    ~SafeArrayHolder() {
        if (array) SafeArrayDestroy(array);
    }
    SAFEARRAY* Release() {
        SAFEARRAY* a = array;
        array = nullptr;
        return a;
    }
};

void ThrowIfFailed(HRESULT hr) {
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) RaiseRuntimeError(RuntimeError::TypeMismatch);
}

// Text for values that have no counterpart in the component's Variant.
// It contains no digit, so converting it to a number is a type mismatch.
constexpr const char* kUnconvertible = "<unsupported value>";

bool SameValue(const Variant& a, const Variant& b) {
    if (a.Type() != b.Type()) return false;
    switch (a.Type()) {
        case VariantType::Empty: return true;
        case VariantType::Boolean: return a.AsBoolean() == b.AsBoolean();
        case VariantType::Long: return a.AsLongRaw() == b.AsLongRaw();
        case VariantType::Double: {
            const double x = a.AsDoubleRaw(), y = b.AsDoubleRaw();
            return std::memcmp(&x, &y, sizeof x) == 0;
        }
        case VariantType::String: return a.AsStringRaw() == b.AsStringRaw();
        default: return false;  // nested arrays are always rewritten
    }
}

Variant ScalarFromVariant(const VARIANT& source) {
    VARIANT v;
    VariantInit(&v);
    // Follow references to a plain value.
    if (FAILED(VariantCopyInd(&v, const_cast<VARIANT*>(&source)))) return Variant(std::string(kUnconvertible));
    Variant result;
    switch (V_VT(&v)) {
        case VT_EMPTY: break;
        case VT_BOOL: result = Variant::FromBoolean(V_BOOL(&v) != VARIANT_FALSE); break;
        case VT_I1: result = Variant(static_cast<int32_t>(V_I1(&v))); break;
        case VT_UI1: result = Variant(static_cast<int32_t>(V_UI1(&v))); break;
        case VT_I2: result = Variant(static_cast<int32_t>(V_I2(&v))); break;
        case VT_UI2: result = Variant(static_cast<int32_t>(V_UI2(&v))); break;
        case VT_I4: result = Variant(static_cast<int32_t>(V_I4(&v))); break;
        case VT_INT: result = Variant(static_cast<int32_t>(V_INT(&v))); break;
        case VT_BSTR: result = Variant(Narrow(V_BSTR(&v))); break;
        case VT_UI4: case VT_UINT: case VT_I8: case VT_UI8:
        case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_DECIMAL: {
            VARIANT d;
            VariantInit(&d);
            if (SUCCEEDED(VariantChangeType(&d, &v, 0, VT_R8)))
                result = Variant(V_R8(&d));
            else
                result = Variant(std::string(kUnconvertible));
            break;
        }
        default: result = Variant(std::string(kUnconvertible)); break;
    }
    VariantClear(&v);
    return result;
}

Variant ArrayFromVariant(VARTYPE elementType, const SAFEARRAY* array) {
    if (elementType == VT_R8) {
        DoubleArray doubles = FromSafeArray(array);
        if (!doubles.HasStorage()) return Variant::MakeArrayWithoutStorage(VariantType::DoubleArray);
        return Variant(std::move(doubles));
    }
    const VariantType kind = elementType == VT_I4 ? VariantType::LongArray : VariantType::VariantArray;
    if (!array || SafeArrayGetDim(const_cast<SAFEARRAY*>(array)) != 1)
        return Variant::MakeArrayWithoutStorage(kind);
    SAFEARRAY* a = const_cast<SAFEARRAY*>(array);
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(a, 1, &lower);
    SafeArrayGetUBound(a, 1, &upper);
    if (kind == VariantType::LongArray) {
        std::vector<int32_t> values;
        for (LONG i = lower; i <= upper; ++i) {
            LONG x = 0;
            ThrowIfFailed(SafeArrayGetElement(a, &i, &x));
            values.push_back(x);
        }
        return Variant::MakeLongArray(values, lower);
    }
    std::vector<Variant> values;
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT element;
        VariantInit(&element);
        if (elementType == VT_VARIANT) {
            ThrowIfFailed(SafeArrayGetElement(a, &i, &element));
        } else {
            // Arrays of other scalar types: read the element as a variant of
            // that type.
            std::vector<char> buffer(SafeArrayGetElemsize(a) + 16, 0);
            ThrowIfFailed(SafeArrayGetElement(a, &i, buffer.data()));
            V_VT(&element) = elementType | VT_BYREF;
            V_BYREF(&element) = buffer.data();
            values.push_back(ScalarFromVariant(element));
            if (elementType == VT_BSTR) SysFreeString(*reinterpret_cast<BSTR*>(buffer.data()));
            continue;
        }
        values.push_back(ScalarFromVariant(element));
        VariantClear(&element);
    }
    return Variant::MakeVariantArray(values, lower);
}

// Follows VT_BYREF | VT_VARIANT links to the variant that holds the value.
VARIANT& Target(VARIANT& v) {
    VARIANT* p = &v;
    while (V_VT(p) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(p)) p = V_VARIANTREF(p);
    return *p;
}

SAFEARRAY* OneDimensional(VARTYPE type, const Variant& value, bool& hasStorage) {
    hasStorage = false;
    int32_t lower = 0, upper = -1;
    try {
        lower = value.LBound(1);
        upper = value.UBound(1);
    } catch (const Error&) {
        return nullptr;  // an array without storage
    }
    hasStorage = true;
    SAFEARRAYBOUND bound{static_cast<ULONG>(static_cast<int64_t>(upper) - lower + 1), lower};
    SafeArrayHolder holder{SafeArrayCreate(type, 1, &bound)};
    if (!holder.array) throw std::bad_alloc();
    for (LONG i = lower; i <= upper; ++i) {
        const Variant entry = value.At(i);
        if (type == VT_I4) {
            LONG x = entry.AsLongRaw();
            ThrowIfFailed(SafeArrayPutElement(holder.array, &i, &x));
        } else {
            VARIANT v;
            VariantInit(&v);
            ToVariant(entry, v);
            const HRESULT hr = SafeArrayPutElement(holder.array, &i, &v);
            VariantClear(&v);
            ThrowIfFailed(hr);
        }
    }
    return holder.Release();
}

}  // namespace

std::wstring Widen(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Narrow(const wchar_t* utf16, UINT length) {
    if (!utf16 || length == 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

std::string Narrow(BSTR text) { return Narrow(text, text ? SysStringLen(text) : 0); }

BSTR MakeBstr(const std::string& utf8) {
    const std::wstring wide = Widen(utf8);
    BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!b) throw std::bad_alloc();
    return b;
}

SAFEARRAY* ToSafeArray(const DoubleArray& array) {
    if (!array.HasStorage()) return nullptr;
    const int dims = array.Dims();
    // SafeArrayCreate takes the dimensions leftmost first, the same order as
    // DoubleArray's; both store the first index fastest.
    std::vector<SAFEARRAYBOUND> bounds(static_cast<std::size_t>(dims));
    for (int d = 1; d <= dims; ++d) {
        const int64_t lower = array.LBound(d), upper = array.UBound(d);
        bounds[static_cast<std::size_t>(d - 1)] = {static_cast<ULONG>(upper - lower + 1),
                                                   static_cast<LONG>(lower)};
    }
    SafeArrayHolder holder{SafeArrayCreate(VT_R8, static_cast<UINT>(dims), bounds.data())};
    if (!holder.array) throw std::bad_alloc();
    if (array.Count() > 0) {
        void* data = nullptr;
        ThrowIfFailed(SafeArrayAccessData(holder.array, &data));
        std::memcpy(data, array.Data(), array.Count() * sizeof(double));
        SafeArrayUnaccessData(holder.array);
    }
    return holder.Release();
}

DoubleArray FromSafeArray(const SAFEARRAY* source) {
    if (!source) return DoubleArray();
    SAFEARRAY* array = const_cast<SAFEARRAY*>(source);
    VARTYPE type = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(array, &type)) || type != VT_R8)
        RaiseRuntimeError(RuntimeError::TypeMismatch);
    const UINT dims = SafeArrayGetDim(array);
    std::vector<std::pair<int32_t, int32_t>> bounds;
    for (UINT d = 1; d <= dims; ++d) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, d, &lower);
        SafeArrayGetUBound(array, d, &upper);
        bounds.emplace_back(lower, upper);
    }
    if (bounds.empty()) return DoubleArray();
    DoubleArray result = DoubleArray::Create(bounds);
    if (result.Count() > 0) {
        void* data = nullptr;
        ThrowIfFailed(SafeArrayAccessData(array, &data));
        std::memcpy(result.Data(), data, result.Count() * sizeof(double));
        SafeArrayUnaccessData(array);
    }
    return result;
}

Variant FromVariant(const VARIANT& source) {
    const VARIANT* v = &source;
    while (V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
    const VARTYPE vt = V_VT(v);
    if (vt & VT_ARRAY) {
        const SAFEARRAY* array = (vt & VT_BYREF) ? (V_ARRAYREF(v) ? *V_ARRAYREF(v) : nullptr) : V_ARRAY(v);
        return ArrayFromVariant(vt & VT_TYPEMASK, array);
    }
    return ScalarFromVariant(*v);
}

void ToVariant(const Variant& value, VARIANT& target) {
    VARIANT result;
    VariantInit(&result);
    switch (value.Type()) {
        case VariantType::Empty: break;
        case VariantType::Boolean:
            V_VT(&result) = VT_BOOL;
            V_BOOL(&result) = value.AsBoolean() ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VariantType::Long:
            V_VT(&result) = VT_I4;
            V_I4(&result) = value.AsLongRaw();
            break;
        case VariantType::Double:
            V_VT(&result) = VT_R8;
            V_R8(&result) = value.AsDoubleRaw();
            break;
        case VariantType::String:
            V_VT(&result) = VT_BSTR;
            V_BSTR(&result) = MakeBstr(value.AsStringRaw());
            break;
        case VariantType::VariantArray:
        case VariantType::LongArray: {
            const VARTYPE element = value.Type() == VariantType::LongArray ? VT_I4 : VT_VARIANT;
            bool hasStorage = false;
            SAFEARRAY* array = OneDimensional(element, value, hasStorage);
            V_VT(&result) = VT_ARRAY | element;
            V_ARRAY(&result) = array;
            break;
        }
        case VariantType::DoubleArray:
            V_VT(&result) = VT_ARRAY | VT_R8;
            V_ARRAY(&result) = ToSafeArray(value.Doubles());
            break;
    }
    // A variant that refers to another variant is written through; any other
    // content, a typed reference included, is replaced.
    VARIANT& destination = Target(target);
    VariantClear(&destination);
    destination = result;
}

void UpdateArrayEntries(const Variant& before, const Variant& value, VARIANT& target) {
    VARIANT& destination = Target(target);
    const VARTYPE vt = V_VT(&destination);
    if (!(vt & VT_ARRAY)) return;
    SAFEARRAY* array = (vt & VT_BYREF) ? (V_ARRAYREF(&destination) ? *V_ARRAYREF(&destination) : nullptr)
                                       : V_ARRAY(&destination);
    if (!array || SafeArrayGetDim(array) != 1) return;
    const VARTYPE element = vt & VT_TYPEMASK;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        Variant now, was;
        try {
            now = value.At(i);
            was = before.At(i);
        } catch (const Error&) {
            continue;
        }
        if (SameValue(now, was)) continue;
        VARIANT entry;
        VariantInit(&entry);
        ToVariant(now, entry);
        if (element == VT_VARIANT) {
            SafeArrayPutElement(array, &i, &entry);
        } else {
            VARIANT converted;
            VariantInit(&converted);
            if (SUCCEEDED(VariantChangeType(&converted, &entry, 0, element))) {
                void* data = (element == VT_BSTR || element == VT_DISPATCH || element == VT_UNKNOWN)
                                 ? static_cast<void*>(V_BSTR(&converted))
                                 : static_cast<void*>(&V_NONE(&converted));
                SafeArrayPutElement(array, &i, data);
            }
            VariantClear(&converted);
        }
        VariantClear(&entry);
    }
}

bool IsMissing(const VARIANT* value) {
    return value && V_VT(value) == VT_ERROR && V_ERROR(value) == DISP_E_PARAMNOTFOUND;
}

HRESULT ReportError(const Error& error) {
    ICreateErrorInfo* create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetGUID(kMatrixInterfaceId);
        const std::wstring source = Widen(error.Source().empty() ? component::kProgId : error.Source());
        const std::wstring description = Widen(error.Description());
        const std::wstring helpFile = Widen(error.HelpFile());
        create->SetSource(const_cast<LPOLESTR>(source.c_str()));
        create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
        create->SetHelpFile(const_cast<LPOLESTR>(helpFile.c_str()));
        create->SetHelpContext(static_cast<DWORD>(error.HelpContext()));
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return static_cast<HRESULT>(error.Number());
}

HRESULT ReportRuntimeError(RuntimeError which) {
    return ReportError(Error(static_cast<int32_t>(which), RuntimeErrorText(which), std::string(), 0,
                             component::kProgId));
}

}  // namespace kestrim::automation
