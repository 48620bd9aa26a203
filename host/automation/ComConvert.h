// Conversions between the component's runtime types and the automation
// runtime's types: strings, safe arrays of Double, variants, and the error
// record that carries a kestrim::Error to the caller.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <string>

#include "kestrim/DoubleArray.h"
#include "kestrim/Error.h"
#include "kestrim/Variant.h"

namespace kestrim::automation {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const wchar_t* utf16, UINT length);
std::string Narrow(BSTR text);
// A new BSTR; throws std::bad_alloc when none can be allocated.
BSTR MakeBstr(const std::string& utf8);

// A safe array of Double with the same dimensions, bounds and elements.
// An array without storage gives a null SAFEARRAY pointer.
SAFEARRAY* ToSafeArray(const DoubleArray& array);
// The array a safe array of Double describes; a null pointer gives an
// array without storage. Other element types raise the type-mismatch error.
DoubleArray FromSafeArray(const SAFEARRAY* array);

// A variant's value as the component sees it. References (VT_BYREF) are
// followed. Arrays of Double keep all their dimensions; other arrays must
// be one-dimensional. Values without a counterpart (objects, Null, errors)
// become text that no number conversion accepts.
Variant FromVariant(const VARIANT& value);
// Writes `value` into `target`, replacing what it held.
void ToVariant(const Variant& value, VARIANT& target);
// Stores the entries of the one-dimensional array `value` into the array
// that `target` holds, one entry at a time, converting each to the element
// type of that array, and only where the entry differs from `before`.
// Used to hand back an index that a member permuted in place.
void UpdateArrayEntries(const Variant& before, const Variant& value, VARIANT& target);

// True when `value` is the automation runtime's "parameter not found"
// marker of an omitted optional argument.
bool IsMissing(const VARIANT* value);

// Fills the calling thread's error record from `error` and returns the
// status code the member returns (the error's Number).
HRESULT ReportError(const Error& error);
// The same for an error of the runtime layer with its standard text.
HRESULT ReportRuntimeError(RuntimeError which);

}  // namespace kestrim::automation
