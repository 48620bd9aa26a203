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

// A by-reference parameter of a method, which Invoke prepares before
// ITypeInfo::Invoke sees it (see ByRefArgument): every Matrix, Long, Double
// and Variant parameter that the member may read or write through its
// pointer.
struct RefParam {
    int index;      // position among the member's parameters
    VARTYPE type;   // VT_DISPATCH (a Matrix), VT_I4, VT_R8 or VT_VARIANT: the referenced type
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
