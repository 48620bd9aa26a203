// Process-wide state of the automation DLL: the count of live objects and
// server locks, and the type information loaded from the DLL's own TYPELIB
// resource.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <vector>

namespace kestrim::automation {

void ObjectCreated();
void ObjectDestroyed();
void LockModule(bool lock);

// A by-reference parameter that Invoke prepares before ITypeInfo::Invoke
// sees it: every Matrix parameter, and the optional Long and Double ones
// without a default. ITypeInfo::Invoke passes the "parameter not found"
// marker variant in place of an omitted optional parameter, which such a
// member would take for the referenced variable; Invoke supplies a real
// variable instead. A Matrix argument given as Null or Empty (how some
// script languages write "no object") becomes an empty reference.
struct RefParam {
    int index;      // position among the member's parameters
    VARTYPE type;   // VT_DISPATCH (a Matrix), VT_I4 or VT_R8: the referenced type
    bool optional;
};
struct MemberShape {
    MEMBERID id;
    int paramCount;  // without the [out, retval] parameter
    std::vector<RefParam> refs;
};

struct TypeInfos {
    ITypeLib* library = nullptr;
    ITypeInfo* vtable = nullptr;     // _Matrix, the vtable view (for Invoke)
    ITypeInfo* dispatch = nullptr;   // _Matrix, the dispatch view (for GetTypeInfo)
    ITypeInfo* coclass = nullptr;    // Matrix
    std::vector<MemberShape> methodsWithRefs;
};

// The type information, loaded on first use; nullptr if it cannot be
// loaded (the error is returned through `hr`).
const TypeInfos* GetTypeInfos(HRESULT* hr = nullptr);

}  // namespace kestrim::automation
