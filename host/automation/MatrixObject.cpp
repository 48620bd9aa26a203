#include "host/automation/MatrixObject.h"

#include <oleauto.h>
#include <olectl.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "host/automation/ByRefArgument.h"
#include "host/automation/ComConvert.h"
#include "host/automation/ComIds.h"
#include "host/automation/Module.h"
#include "host/runtime/FloatingPoint.h"

namespace kestrim::automation {

namespace {

// A status code that a member returns without an error record of the
// component (a null out-pointer, for instance).
struct Status {
    HRESULT hr;
};

void RequirePointer(const void* p) {
    if (!p) throw Status{E_POINTER};
}

// ITypeInfo::Invoke reinterprets the "parameter not found" variant as the
// parameter when a dispatch caller omits an optional by-reference object.
// Invoke replaces such markers before they get here; a caller that goes to
// ITypeInfo::Invoke directly can still produce one. Its first eight bytes
// read as a small number (the variant type VT_ERROR), never as an object
// address, so such a value counts as an omitted argument.
bool LooksLikeMissingMarker(const IMatrixDual* p) {
    return p != nullptr && reinterpret_cast<std::uintptr_t>(p) < 0x10000;
}

// The object behind a Matrix argument that the member reads: an empty
// reference stays empty (the operation raises the missing-object error
// where it first needs the argument); an object of another server is a
// type mismatch.
MatrixPtr InputMatrix(IMatrixDual** argument) {
    if (!argument || !*argument || LooksLikeMissingMarker(*argument)) return nullptr;
    MatrixObject* object = MatrixObject::FromInterface(*argument);
    if (!object) RaiseRuntimeError(RuntimeError::TypeMismatch);
    return object->Matrix();
}

// An optional by-reference Matrix output. The operation fills the object
// that the caller's variable refers to; if the operation empties the
// reference (Cholesky on a failure), the caller's variable is emptied too.
class OutputMatrix {
public:
    explicit OutputMatrix(IMatrixDual** argument) : argument_(argument) {
        if (!argument_ || LooksLikeMissingMarker(*argument_)) {
            argument_ = nullptr;
            return;
        }
        if (*argument_) {
            MatrixObject* object = MatrixObject::FromInterface(*argument_);
            if (!object) RaiseRuntimeError(RuntimeError::TypeMismatch);
            local_ = object->Matrix();
            original_ = local_;
        }
    }
    OutputMatrix(const OutputMatrix&) = delete;
    OutputMatrix& operator=(const OutputMatrix&) = delete;

    MatrixPtr* Arg() { return argument_ ? &local_ : nullptr; }

    // Hands a changed reference back to the caller; runs on every exit,
    // errors included.
    ~OutputMatrix() {
        if (!argument_ || local_ == original_) return;
        IMatrixDual* replacement = nullptr;
        if (local_) {
            try {
                replacement = MatrixObject::Wrap(local_);
            } catch (...) {
                return;
            }
        }
        if (*argument_) (*argument_)->Release();
        *argument_ = replacement;
    }

private:
    IMatrixDual** argument_;
    MatrixPtr local_;
    MatrixPtr original_;
};

void SetResult(IMatrixDual** result, MatrixPtr matrix) { *result = MatrixObject::Wrap(std::move(matrix)); }

VARIANT_BOOL ToBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// Marks a LU permutation output that the operation has not written.
const std::string kUnwritten = "\x01unwritten";

}  // namespace

// Forwards the events of the wrapped Matrix to the connected sinks. The
// object detaches it when it goes away, so a Matrix that outlives its
// wrapper (it is kept alive by a running operation) raises into nothing.
class MatrixObject::Forwarder final : public MatrixEvents {
public:
    explicit Forwarder(MatrixObject* owner) : owner_(owner) {}
    void Detach() noexcept { owner_ = nullptr; }
    void OnProgress(const std::string& operation, float percent, bool& cancel) override {
        if (owner_) owner_->FireOnProgress(operation, percent, cancel);
    }
    void Done(const std::string& operation) override {
        if (owner_) owner_->FireDone(operation);
    }

private:
    MatrixObject* owner_;
};

MatrixObject::MatrixObject(MatrixPtr matrix) : matrix_(std::move(matrix)), point_(*this) { ObjectCreated(); }

MatrixObject::~MatrixObject() {
    DisconnectForwarder();
    for (Sink& s : sinks_) s.sink->Release();
    ObjectDestroyed();
}

IMatrixDual* MatrixObject::Wrap(MatrixPtr matrix) {
    if (!matrix) return nullptr;
    return new MatrixObject(std::move(matrix));
}

MatrixObject* MatrixObject::FromInterface(IUnknown* object) {
    if (!object) return nullptr;
    IMatrixSelf* self = nullptr;
    if (FAILED(object->QueryInterface(kMatrixSelfId, reinterpret_cast<void**>(&self))) || !self) return nullptr;
    MatrixObject* result = self->Object();
    self->Release();
    return result;
}

// Runs a member body: keeps the object alive while event handlers run
// inside it, and turns every failure into a status code with the error
// record filled in. No C++ exception crosses the interface.
template <class Body>
HRESULT MatrixObject::Guard(Body&& body) {
    // Every member starts from the default floating-point environment and
    // hands the caller's back on return, errors included.
    fp::FpScope fpScope;
    AddRef();
    HRESULT hr = S_OK;
    try {
        body();
    } catch (const Status& status) {
        hr = status.hr;
    } catch (const Error& error) {
        hr = ReportError(error);
    } catch (const std::bad_alloc&) {
        hr = ReportRuntimeError(RuntimeError::OutOfMemory);
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    Release();
    return hr;
}

// ---- IUnknown ---------------------------------------------------------------

HRESULT MatrixObject::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == kMatrixInterfaceId)
        *ppv = static_cast<IMatrixDual*>(this);
    else if (riid == IID_ISupportErrorInfo)
        *ppv = static_cast<ISupportErrorInfo*>(this);
    else if (riid == IID_IConnectionPointContainer)
        *ppv = static_cast<IConnectionPointContainer*>(this);
    else if (riid == IID_IProvideClassInfo || riid == IID_IProvideClassInfo2)
        *ppv = static_cast<IProvideClassInfo2*>(this);
    else if (riid == kMatrixSelfId)
        *ppv = static_cast<IMatrixSelf*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG MatrixObject::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

ULONG MatrixObject::Release() {
    const LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
}

// ---- IDispatch --------------------------------------------------------------

HRESULT MatrixObject::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT MatrixObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    HRESULT hr = S_OK;
    const TypeInfos* types = GetTypeInfos(&hr);
    if (!types) return hr;
    types->dispatch->AddRef();
    *info = types->dispatch;
    return S_OK;
}

HRESULT MatrixObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    HRESULT hr = S_OK;
    const TypeInfos* types = GetTypeInfos(&hr);
    if (!types) return hr;
    return types->vtable->GetIDsOfNames(names, count, ids);
}

HRESULT MatrixObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* exception, UINT* argError) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    // Argument conversions run in the default floating-point environment
    // too, not only the member.
    fp::FpScope fpScope;
    HRESULT hr = S_OK;
    const TypeInfos* types = GetTypeInfos(&hr);
    if (!types) return hr;
    static DISPPARAMS noParams = {nullptr, nullptr, 0, 0};
    if (!params) params = &noParams;
    // A call (as some script engines make it for every member) may also
    // read a property: no member has both forms under one identifier.
    if ((flags & DISPATCH_METHOD) && !(flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)))
        flags |= DISPATCH_PROPERTYGET;

    const MemberShape* shape = nullptr;
    if (flags & DISPATCH_METHOD) {
        for (const MemberShape& s : types->methodsWithRefs)
            if (s.id == id) shape = &s;
    }
    if (!shape) {
        return types->vtable->Invoke(static_cast<IMatrixDual*>(this), id, flags, params, result, exception,
                                     argError);
    }

    // Lay the arguments out by position (named ones included), then give
    // every by-reference parameter an argument whose ownership is clear
    // (see ByRefArgument): outputs that arrive by value, as temporaries,
    // Nothing, Empty or Null, or not at all, get variables of their own.
    const int n = shape->paramCount;
    if (params->cArgs > static_cast<UINT>(n)) return DISP_E_BADPARAMCOUNT;
    std::vector<VARIANT*> slots(static_cast<std::size_t>(n), nullptr);
    const UINT positional = params->cArgs - params->cNamedArgs;
    for (UINT k = 0; k < positional; ++k) slots[k] = &params->rgvarg[params->cArgs - 1 - k];
    for (UINT j = 0; j < params->cNamedArgs; ++j) {
        const DISPID position = params->rgdispidNamedArgs[j];
        if (position < 0 || position >= n) return DISP_E_PARAMNOTFOUND;
        slots[static_cast<std::size_t>(position)] = &params->rgvarg[j];
    }
    const std::vector<VARIANT*> given = slots;
    // The caller's own index of the argument at `position`.
    auto callerIndex = [&](int position) {
        for (UINT j = 0; j < params->cArgs; ++j)
            if (given[static_cast<std::size_t>(position)] == &params->rgvarg[j]) return j;
        return 0u;
    };
    std::vector<ByRefArgument> prepared(static_cast<std::size_t>(n));
    for (const RefParam& ref : shape->refs) {
        const std::size_t i = static_cast<std::size_t>(ref.index);
        hr = prepared[i].Prepare(ref, slots[i]);
        if (FAILED(hr)) {
            if (argError) *argError = callerIndex(ref.index);
            return hr;
        }
        slots[i] = prepared[i].Argument(slots[i]);
    }
    int count = n;
    while (count > 0) {
        const VARIANT* last = slots[static_cast<std::size_t>(count - 1)];
        if (last && !IsMissing(last)) break;
        --count;
    }
    std::vector<VARIANT> args(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        VARIANT& a = args[static_cast<std::size_t>(count - 1 - i)];
        if (slots[static_cast<std::size_t>(i)]) {
            a = *slots[static_cast<std::size_t>(i)];  // a shallow copy: the caller keeps ownership
        } else {
            VariantInit(&a);
            V_VT(&a) = VT_ERROR;
            V_ERROR(&a) = DISP_E_PARAMNOTFOUND;
        }
    }
    DISPPARAMS laidOut = {args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(count), 0};
    hr = types->vtable->Invoke(static_cast<IMatrixDual*>(this), id, flags, &laidOut, result, exception, argError);
    for (ByRefArgument& argument : prepared) argument.Finish();
    if (argError && (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) &&
        *argError < static_cast<UINT>(count)) {
        // Report the position in the caller's own argument list.
        *argError = callerIndex(count - 1 - static_cast<int>(*argError));
    }
    return hr;
}

// ---- Dimensions, elements, events switch -------------------------------------

HRESULT MatrixObject::get_FireEvents(VARIANT_BOOL* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = ToBool(matrix_->FireEvents());
    });
}

HRESULT MatrixObject::put_FireEvents(VARIANT_BOOL* Status) {
    return Guard([&] {
        RequirePointer(Status);
        matrix_->SetFireEvents(*Status != VARIANT_FALSE);
    });
}

HRESULT MatrixObject::get_MaxSize(long* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = matrix_->MaxSize();
    });
}

HRESULT MatrixObject::put_Rows(long NumOfRows) {
    return Guard([&] { matrix_->SetRows(NumOfRows); });
}

HRESULT MatrixObject::get_Rows(long* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = matrix_->Rows();
    });
}

HRESULT MatrixObject::put_Cols(long NumOfCols) {
    return Guard([&] { matrix_->SetCols(NumOfCols); });
}

HRESULT MatrixObject::get_Cols(long* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = matrix_->Cols();
    });
}

HRESULT MatrixObject::Size(long NumOfRows, long NumOfCols) {
    return Guard([&] { matrix_->Size(NumOfRows, NumOfCols); });
}

HRESULT MatrixObject::FillRandom(double LowLimit, double HighLimit, short NumDecimalPlaces) {
    return Guard([&] { matrix_->FillRandom(LowLimit, HighLimit, NumDecimalPlaces); });
}

HRESULT MatrixObject::put_Item(long RowIndex, long ColIndex, double vData) {
    return Guard([&] { matrix_->SetItem(RowIndex, ColIndex, vData); });
}

HRESULT MatrixObject::get_Item(long RowIndex, long ColIndex, double* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = matrix_->Item(RowIndex, ColIndex);
    });
}

// ---- Array exchange and cloning ----------------------------------------------

HRESULT MatrixObject::Clone(IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Clone());
    });
}

HRESULT MatrixObject::put_AsArray(SAFEARRAY** vData) {
    return Guard([&] { matrix_->SetAsArray(Variant(FromSafeArray(vData ? *vData : nullptr))); });
}

HRESULT MatrixObject::get_AsArray(SAFEARRAY** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        *result = ToSafeArray(matrix_->AsArray());
    });
}

// ---- Operations returning a new Matrix ---------------------------------------

HRESULT MatrixObject::Inverse(IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Inverse());
    });
}

HRESULT MatrixObject::Transpose(IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Transpose());
    });
}

HRESULT MatrixObject::Plus(IMatrixDual** MatrixToAdd, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Plus(InputMatrix(MatrixToAdd)));
    });
}

HRESULT MatrixObject::PlusEquals(IMatrixDual** Matrix2) {
    return Guard([&] { matrix_->PlusEquals(InputMatrix(Matrix2)); });
}

HRESULT MatrixObject::Minus(IMatrixDual** MatrixToSubtract, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Minus(InputMatrix(MatrixToSubtract)));
    });
}

HRESULT MatrixObject::MinusEquals(IMatrixDual** Matrix2) {
    return Guard([&] { matrix_->MinusEquals(InputMatrix(Matrix2)); });
}

HRESULT MatrixObject::Times(IMatrixDual** Matrix2, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Times(InputMatrix(Matrix2)));
    });
}

HRESULT MatrixObject::TimesScalar(double* Number, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        RequirePointer(Number);
        *result = nullptr;
        SetResult(result, matrix_->TimesScalar(*Number));
    });
}

HRESULT MatrixObject::Determinant(double* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = matrix_->Determinant();
    });
}

HRESULT MatrixObject::Solve(IMatrixDual** RightHandTerms, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Solve(InputMatrix(RightHandTerms)));
    });
}

HRESULT MatrixObject::SolveGauss(IMatrixDual** RightHandSide, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->SolveGauss(InputMatrix(RightHandSide)));
    });
}

// ---- Comparisons, normalization, text ----------------------------------------

HRESULT MatrixObject::IsSymmetric(VARIANT_BOOL* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = ToBool(matrix_->IsSymmetric());
    });
}

HRESULT MatrixObject::IsSquare(VARIANT_BOOL* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = ToBool(matrix_->IsSquare());
    });
}

HRESULT MatrixObject::IsEqualTo(IMatrixDual** Matrix2, double MaxDifference, VARIANT_BOOL* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = ToBool(matrix_->IsEqualTo(InputMatrix(Matrix2), MaxDifference));
    });
}

HRESULT MatrixObject::Normalize(double* NormValue, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        SetResult(result, matrix_->Normalize(NormValue));
    });
}

HRESULT MatrixObject::NormalizeMe(double* NormValue) {
    return Guard([&] { matrix_->NormalizeMe(NormValue); });
}

HRESULT MatrixObject::GetString(short NumDecimalPlaces, BSTR EndOfLineChars, BSTR* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        *result = MakeBstr(matrix_->GetString(NumDecimalPlaces, Narrow(EndOfLineChars)));
    });
}

HRESULT MatrixObject::get_Version(BSTR* result) {
    return Guard([&] {
        RequirePointer(result);
        *result = nullptr;
        *result = MakeBstr(matrix_->Version());
    });
}

// ---- Decompositions ---------------------------------------------------------

HRESULT MatrixObject::LuCommon(bool hidden, IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex,
                               long* PermSign) {
    return Guard([&] {
        const bool indexWanted = PermIndex && !IsMissing(PermIndex);
        // The permutation outputs are handed back even when the operation
        // stops with an error or a cancel, as far as it wrote them.
        Variant index(kUnwritten);
        int32_t sign = PermSign ? static_cast<int32_t>(*PermSign) : 0;
        struct HandBack {
            Variant& index;
            int32_t& sign;
            VARIANT* indexTarget;
            long* signTarget;
            ~HandBack() {
                if (signTarget) *signTarget = sign;
                if (indexTarget && !(index.Type() == VariantType::String && index.AsStringRaw() == kUnwritten)) {
                    try {
                        ToVariant(index, *indexTarget);
                    } catch (...) {
                    }
                }
            }
        } handBack{index, sign, indexWanted ? PermIndex : nullptr, PermSign};
        OutputMatrix lower(l), upper(U);
        if (hidden)
            matrix_->LUdc(lower.Arg(), upper.Arg(), &index, &sign);
        else
            matrix_->LU(lower.Arg(), upper.Arg(), &index, &sign);
    });
}

HRESULT MatrixObject::LUdc(IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex, long* PermSign) {
    return LuCommon(true, l, U, PermIndex, PermSign);
}

HRESULT MatrixObject::LU(IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex, long* PermSign) {
    return LuCommon(false, l, U, PermIndex, PermSign);
}

HRESULT MatrixObject::CholeskyCommon(bool hidden, IMatrixDual** l) {
    return Guard([&] {
        OutputMatrix factor(l);
        if (hidden)
            matrix_->CHOLdc(factor.Arg());
        else
            matrix_->Cholesky(factor.Arg());
    });
}

HRESULT MatrixObject::CHOLdc(IMatrixDual** l) { return CholeskyCommon(true, l); }

HRESULT MatrixObject::Cholesky(IMatrixDual** l) { return CholeskyCommon(false, l); }

HRESULT MatrixObject::Rearrange(bool rows, VARIANT* PermIndex) {
    return Guard([&] {
        const Variant before = PermIndex && !IsMissing(PermIndex) ? FromVariant(*PermIndex) : Variant();
        Variant index = before;
        // Entries that the operation rewrote are handed back even when it
        // stops with an error part way through.
        struct HandBack {
            const Variant& before;
            Variant& index;
            VARIANT* target;
            ~HandBack() {
                if (!target) return;
                try {
                    UpdateArrayEntries(before, index, *target);
                } catch (...) {
                }
            }
        } handBack{before, index, PermIndex && !IsMissing(PermIndex) ? PermIndex : nullptr};
        if (rows)
            matrix_->RearrangeRows(index);
        else
            matrix_->RearrangeCols(index);
    });
}

HRESULT MatrixObject::RearrangeRows(VARIANT* PermIndex) { return Rearrange(true, PermIndex); }

HRESULT MatrixObject::RearrangeCols(VARIANT* PermIndex) { return Rearrange(false, PermIndex); }

HRESULT MatrixObject::QR(IMatrixDual** Q, IMatrixDual** R) {
    return Guard([&] {
        OutputMatrix q(Q), r(R);
        matrix_->QR(q.Arg(), r.Arg());
    });
}

HRESULT MatrixObject::SVD(IMatrixDual** U, IMatrixDual** S, IMatrixDual** V) {
    return Guard([&] {
        OutputMatrix u(U), s(S), v(V);
        matrix_->SVD(u.Arg(), s.Arg(), v.Arg());
    });
}

HRESULT MatrixObject::Eigen(IMatrixDual** RealValues, IMatrixDual** ImagValues, IMatrixDual** RealVectors,
                            IMatrixDual** ImagVectors) {
    return Guard([&] {
        OutputMatrix realValues(RealValues), imagValues(ImagValues), realVectors(RealVectors),
            imagVectors(ImagVectors);
        matrix_->Eigen(realValues.Arg(), imagValues.Arg(), realVectors.Arg(), imagVectors.Arg());
    });
}

HRESULT MatrixObject::RowVector(long* RowIndex, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        RequirePointer(RowIndex);
        *result = nullptr;
        SetResult(result, matrix_->RowVector(*RowIndex));
    });
}

HRESULT MatrixObject::ColVector(long* ColIndex, IMatrixDual** result) {
    return Guard([&] {
        RequirePointer(result);
        RequirePointer(ColIndex);
        *result = nullptr;
        SetResult(result, matrix_->ColVector(*ColIndex));
    });
}

// ---- ISupportErrorInfo, IProvideClassInfo2 -----------------------------------

HRESULT MatrixObject::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == kMatrixInterfaceId || riid == IID_IDispatch ? S_OK : S_FALSE;
}

HRESULT MatrixObject::GetClassInfo(ITypeInfo** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    HRESULT hr = S_OK;
    const TypeInfos* types = GetTypeInfos(&hr);
    if (!types) return hr;
    types->coclass->AddRef();
    *result = types->coclass;
    return S_OK;
}

HRESULT MatrixObject::GetGUID(DWORD kind, GUID* result) {
    if (!result) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *result = GUID_NULL;
        return E_INVALIDARG;
    }
    *result = kMatrixEventsId;
    return S_OK;
}

// ---- Connection points -------------------------------------------------------

namespace {

// A snapshot enumerator over a fixed list, for connection points and
// connections.
template <class Interface, class Item, const IID& Iid>
class Enumerator final : public Interface {
public:
    Enumerator(std::vector<Item> items, std::size_t position = 0)
        : items_(std::move(items)), position_(position) {
        for (Item& item : items_) Hold(item, true);
        ObjectCreated();
    }
    ~Enumerator() {
        for (Item& item : items_) Hold(item, false);
        ObjectDestroyed();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != Iid) return E_NOINTERFACE;
        *ppv = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < count && position_ < items_.size()) {
            out[n] = items_[position_++];
            Hold(out[n], true);
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const std::size_t left = items_.size() - position_;
        position_ += std::min<std::size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface** result) override {
        if (!result) return E_POINTER;
        *result = new (std::nothrow) Enumerator(items_, position_);
        return *result ? S_OK : E_OUTOFMEMORY;
    }

private:
    static void Hold(IConnectionPoint* p, bool add) { add ? p->AddRef() : p->Release(); }
    static void Hold(CONNECTDATA& d, bool add) { add ? d.pUnk->AddRef() : d.pUnk->Release(); }

    LONG refs_ = 1;
    std::vector<Item> items_;
    std::size_t position_;
};

using PointEnumerator = Enumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;
using ConnectionEnumerator = Enumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;

}  // namespace

HRESULT MatrixObject::EnumConnectionPoints(IEnumConnectionPoints** result) {
    if (!result) return E_POINTER;
    *result = new (std::nothrow) PointEnumerator({&point_});
    return *result ? S_OK : E_OUTOFMEMORY;
}

HRESULT MatrixObject::FindConnectionPoint(REFIID riid, IConnectionPoint** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (riid != kMatrixEventsId) return CONNECT_E_NOCONNECTION;
    point_.AddRef();
    *result = &point_;
    return S_OK;
}

HRESULT MatrixObject::EventsPoint::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT MatrixObject::EventsPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = kMatrixEventsId;
    return S_OK;
}

HRESULT MatrixObject::EventsPoint::GetConnectionPointContainer(IConnectionPointContainer** result) {
    if (!result) return E_POINTER;
    owner_.AddRef();
    *result = &owner_;
    return S_OK;
}

HRESULT MatrixObject::EventsPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    IDispatch* dispatch = nullptr;
    // A sink implements the events dispinterface; hosts whose sinks only
    // answer IDispatch are accepted too.
    if (FAILED(sink->QueryInterface(kMatrixEventsId, reinterpret_cast<void**>(&dispatch))) &&
        FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
        return CONNECT_E_CANNOTCONNECT;
    try {
        owner_.sinks_.push_back({owner_.nextCookie_, dispatch});
        if (owner_.sinks_.size() == 1) owner_.ConnectForwarder();
    } catch (...) {
        if (!owner_.sinks_.empty() && owner_.sinks_.back().sink == dispatch) owner_.sinks_.pop_back();
        dispatch->Release();
        return E_OUTOFMEMORY;
    }
    *cookie = owner_.nextCookie_++;
    return S_OK;
}

HRESULT MatrixObject::EventsPoint::Unadvise(DWORD cookie) {
    auto& sinks = owner_.sinks_;
    auto it = std::find_if(sinks.begin(), sinks.end(), [cookie](const Sink& s) { return s.cookie == cookie; });
    if (it == sinks.end()) return CONNECT_E_NOCONNECTION;
    IDispatch* sink = it->sink;
    sinks.erase(it);
    if (sinks.empty()) owner_.DisconnectForwarder();
    sink->Release();
    return S_OK;
}

HRESULT MatrixObject::EventsPoint::EnumConnections(IEnumConnections** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    try {
        std::vector<CONNECTDATA> items;
        for (const Sink& s : owner_.sinks_) items.push_back({s.sink, s.cookie});
        *result = new ConnectionEnumerator(std::move(items));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void MatrixObject::ConnectForwarder() {
    if (forwarder_) return;
    forwarder_ = std::make_shared<Forwarder>(this);
    forwarderCookie_ = matrix_->Connect(forwarder_);
}

void MatrixObject::DisconnectForwarder() {
    if (!forwarder_) return;
    forwarder_->Detach();
    matrix_->Disconnect(forwarderCookie_);
    forwarder_.reset();
}

// ---- Raising the events ------------------------------------------------------

namespace {

// Calls one sink; its status and any exception record are its own affair.
void CallSink(IDispatch* sink, DISPID id, VARIANT* args, UINT count) {
    DISPPARAMS params = {args, nullptr, count, 0};
    EXCEPINFO exception{};
    UINT argError = 0;
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &exception, &argError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
}

}  // namespace

void MatrixObject::FireOnProgress(const std::string& operation, float percent, bool& cancel) {
    // Sinks may connect or disconnect others while the event runs: walk a
    // snapshot of the cookies and skip any that is gone by its turn.
    std::vector<DWORD> cookies;
    for (const Sink& s : sinks_) cookies.push_back(s.cookie);
    BSTR name = MakeBstr(operation);
    VARIANT_BOOL cancelFlag = ToBool(cancel);
    for (DWORD cookie : cookies) {
        auto it = std::find_if(sinks_.begin(), sinks_.end(), [cookie](const Sink& s) { return s.cookie == cookie; });
        if (it == sinks_.end()) continue;
        IDispatch* sink = it->sink;
        sink->AddRef();
        // Arguments go right to left: Cancel, Percent, Operation.
        VARIANT args[3];
        VariantInit(&args[0]);
        V_VT(&args[0]) = VT_BOOL | VT_BYREF;
        V_BOOLREF(&args[0]) = &cancelFlag;
        VariantInit(&args[1]);
        V_VT(&args[1]) = VT_R4;
        V_R4(&args[1]) = percent;
        VariantInit(&args[2]);
        V_VT(&args[2]) = VT_BSTR;
        V_BSTR(&args[2]) = name;
        CallSink(sink, kDispIdOnProgress, args, 3);
        sink->Release();
    }
    SysFreeString(name);
    // Any nonzero value a sink leaves in the flag counts as true.
    cancel = cancelFlag != VARIANT_FALSE;
}

void MatrixObject::FireDone(const std::string& operation) {
    std::vector<DWORD> cookies;
    for (const Sink& s : sinks_) cookies.push_back(s.cookie);
    BSTR name = MakeBstr(operation);
    for (DWORD cookie : cookies) {
        auto it = std::find_if(sinks_.begin(), sinks_.end(), [cookie](const Sink& s) { return s.cookie == cookie; });
        if (it == sinks_.end()) continue;
        IDispatch* sink = it->sink;
        sink->AddRef();
        VARIANT arg;
        VariantInit(&arg);
        V_VT(&arg) = VT_BSTR;
        V_BSTR(&arg) = name;
        CallSink(sink, kDispIdDone, &arg, 1);
        sink->Release();
    }
    SysFreeString(name);
}

}  // namespace kestrim::automation
