// One by-reference argument of a dispatch call, made safe to hand to a
// member through ITypeInfo::Invoke.
//
// Script hosts pass by-reference parameters in many shapes: a reference to
// the caller's variable (VT_VARIANT | VT_BYREF), a typed reference, a value
// (an argument in parentheses, a temporary, Nothing, Empty, Null) or
// nothing at all. A member writes through its pointer (Cholesky empties
// its output, LU stores the permutation, NormalizeMe the divisor), so the
// pointer it gets must refer to storage whose ownership is clear:
//
// - a typed reference of exactly the parameter's type, and a variant
//   reference for a Variant parameter, go through unchanged: the member
//   writes into the caller's storage, as by-reference means;
// - everything else gets a variable of its own here, holding its own
//   reference or a converted copy of the value. After the call, what the
//   member changed is written back into the caller's variable when the
//   argument was a variant reference (a script variable), and dropped when
//   it was a value. Every reference taken is released, so an output given
//   by value leaves the caller's object and reference counts as they were.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include "host/automation/Module.h"

namespace kestrim::automation {

class ByRefArgument {
public:
    ByRefArgument() { VariantInit(&prepared_); VariantInit(&copy_); }
    ~ByRefArgument();
    ByRefArgument(const ByRefArgument&) = delete;
    ByRefArgument& operator=(const ByRefArgument&) = delete;

    // Prepares the caller's argument `given` (nullptr or the "parameter not
    // found" marker when omitted) for `param`. Returns S_OK, or
    // DISP_E_TYPEMISMATCH when the value cannot be the parameter's type.
    HRESULT Prepare(const RefParam& param, VARIANT* given);
    // The argument to hand on: the prepared one, or `given` itself.
    VARIANT* Argument(VARIANT* given) { return prepared_used_ ? &prepared_ : given; }
    // Writes a changed value back to the caller's variable (when it came by
    // variant reference) and releases what was taken. Runs once.
    void Finish() noexcept;

private:
    VARTYPE type_ = VT_EMPTY;
    bool prepared_used_ = false;
    VARIANT prepared_;                 // the typed reference the member gets
    VARIANT* writeBack_ = nullptr;     // the caller's variable, when by variant reference
    IDispatch* object_ = nullptr;      // a Matrix argument: our own reference
    IDispatch* objectBefore_ = nullptr;
    LONG long_ = 0, longBefore_ = 0;
    double double_ = 0, doubleBefore_ = 0;
    VARIANT copy_;                     // a Variant argument given by value
    bool finished_ = false;
};

}  // namespace kestrim::automation
