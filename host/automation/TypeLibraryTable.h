// The contents of the KestrimMatrixLib type library as data: every member of
// the dual interface _Matrix in vtable order, and the events of __Matrix.
// The type-library generator turns this table into the .tlb that the DLL
// carries as its TYPELIB resource.
#pragma once

#include <windows.h>

#include <oaidl.h>

namespace kestrim::automation::typelib {

enum class Type { Void, Boolean, Long, Integer, Double, Single, String, Variant, DoubleArray, Matrix };

enum class Default { None, Integer, Double, String };

struct Param {
    const wchar_t* name = nullptr;
    Type type = Type::Void;
    bool byRef = false;
    bool optional = false;
    Default defaultKind = Default::None;
    double defaultNumber = 0;
    const wchar_t* defaultText = nullptr;
};

struct Member {
    const wchar_t* name;
    INVOKEKIND kind;
    DISPID dispId;
    int paramCount;
    Param params[4];
    Type result;          // Void: no [out, retval] parameter
    DWORD helpContext;    // 0: none
    const wchar_t* help;  // nullptr: none
    WORD funcFlags;
};

inline constexpr wchar_t kLibraryHelpFile[] = L"KTMatrix.CHM";
inline constexpr wchar_t kLibraryHelpString[] =
    L"Kestrim Matrix Library 2.1: dense matrices, linear systems and decompositions";

// The 43 entries of _Matrix, in vtable order.
extern const Member kMembers[];
extern const int kMemberCount;

// The two events of __Matrix.
extern const Member kEvents[];
extern const int kEventCount;

}  // namespace kestrim::automation::typelib
