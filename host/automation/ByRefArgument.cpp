#include "host/automation/ByRefArgument.h"

#include <oleauto.h>

#include <cstring>

#include "host/automation/ComConvert.h"

namespace kestrim::automation {

ByRefArgument::~ByRefArgument() { Finish(); }

HRESULT ByRefArgument::Prepare(const RefParam& param, VARIANT* given) {
    type_ = param.type;
    if (!given || IsMissing(given)) {
        // An omitted optional Matrix, Long or Double gets a variable of its
        // own (an empty reference, a zero); an omitted Variant keeps the
        // marker, which the member recognises. A required one is left for
        // ITypeInfo::Invoke to report.
        if (!param.optional || type_ == VT_VARIANT) return S_OK;
    } else {
        // A typed reference of the parameter's own type: the member writes
        // into the caller's storage.
        if (V_VT(given) == (type_ | VT_BYREF)) return S_OK;
        VARIANT* target = given;
        while (V_VT(target) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(target)) target = V_VARIANTREF(target);
        if (V_VT(target) == (type_ | VT_BYREF)) {
            // A variant reference to such a typed reference.
            prepared_ = *target;
            prepared_used_ = true;
            return S_OK;
        }
        // A script variable (not itself a reference) receives what the
        // member changes; a value does not.
        if (target != given && !(V_VT(target) & VT_BYREF)) writeBack_ = target;

        if (type_ == VT_VARIANT) {
            const HRESULT hr = VariantCopy(&copy_, given);
            if (FAILED(hr)) return hr;
        } else if (type_ == VT_DISPATCH) {
            const VARTYPE vt = V_VT(target);
            IUnknown* unknown = nullptr;
            if (vt == VT_DISPATCH) object_ = V_DISPATCH(target);
            else if (vt == (VT_DISPATCH | VT_BYREF)) object_ = V_DISPATCHREF(target) ? *V_DISPATCHREF(target) : nullptr;
            else if (vt == VT_UNKNOWN) unknown = V_UNKNOWN(target);
            else if (vt == (VT_UNKNOWN | VT_BYREF)) unknown = V_UNKNOWNREF(target) ? *V_UNKNOWNREF(target) : nullptr;
            else if (vt != VT_EMPTY && vt != VT_NULL) return DISP_E_TYPEMISMATCH;  // Nothing, Empty, Null: no object
            if (object_) {
                object_->AddRef();
            } else if (unknown &&
                       FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object_)))) {
                object_ = nullptr;
                return DISP_E_TYPEMISMATCH;
            }
            objectBefore_ = object_;
        } else {
            VARIANT value;
            VariantInit(&value);
            const HRESULT hr = VariantChangeType(&value, target, 0, type_);
            if (FAILED(hr)) return hr == E_OUTOFMEMORY || hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
            if (type_ == VT_I4) long_ = longBefore_ = V_I4(&value);
            if (type_ == VT_R8) double_ = doubleBefore_ = V_R8(&value);
        }
    }
    V_VT(&prepared_) = type_ | VT_BYREF;
    switch (type_) {
        case VT_DISPATCH: V_DISPATCHREF(&prepared_) = &object_; break;
        case VT_I4: V_I4REF(&prepared_) = &long_; break;
        case VT_R8: V_R8REF(&prepared_) = &double_; break;
        default: V_VARIANTREF(&prepared_) = &copy_; break;
    }
    prepared_used_ = true;
    return S_OK;
}

void ByRefArgument::Finish() noexcept {
    if (finished_) return;
    finished_ = true;
    if (writeBack_) {
        // Only a change goes back, so a variable that the member merely
        // read keeps its own type (a Double index stays a Double).
        if (type_ == VT_DISPATCH && object_ != objectBefore_) {
            VariantClear(writeBack_);
            V_VT(writeBack_) = VT_DISPATCH;
            V_DISPATCH(writeBack_) = object_;
            object_ = nullptr;  // the variable holds this reference now
        } else if (type_ == VT_I4 && long_ != longBefore_) {
            VariantClear(writeBack_);
            V_VT(writeBack_) = VT_I4;
            V_I4(writeBack_) = long_;
        } else if (type_ == VT_R8 && std::memcmp(&double_, &doubleBefore_, sizeof double_) != 0) {
            VariantClear(writeBack_);
            V_VT(writeBack_) = VT_R8;
            V_R8(writeBack_) = double_;
        }
    }
    if (object_) object_->Release();
    object_ = nullptr;
    VariantClear(&copy_);
}

}  // namespace kestrim::automation
