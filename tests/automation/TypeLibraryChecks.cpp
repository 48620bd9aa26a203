// The registered type library against the published interface: names,
// dispatch identifiers, kinds, parameters, flags, defaults, help contexts
// and help strings of every entry, the events interface and the class.
#include <cmath>
#include <cstdio>
#include <string>

#include "ClientSupport.h"

namespace client {
namespace {

using namespace kestrim::automation;

std::string Ascii(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) {
        if (c == L'\r') s += "\\r";
        else if (c == L'\n') s += "\\n";
        else s.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return s;
}

std::string TypeName(ITypeInfo* info, const TYPEDESC& t) {
    switch (t.vt) {
        case VT_BOOL: return "Boolean";
        case VT_I4: return "Long";
        case VT_I2: return "Integer";
        case VT_R8: return "Double";
        case VT_R4: return "Single";
        case VT_BSTR: return "String";
        case VT_VARIANT: return "Variant";
        case VT_HRESULT: return "HRESULT";
        case VT_VOID: return "void";
        case VT_SAFEARRAY: return TypeName(info, *t.lptdesc) + "()";
        case VT_PTR: return TypeName(info, *t.lptdesc) + "*";
        case VT_USERDEFINED: {
            ITypeInfo* ref = nullptr;
            std::string name = "?";
            if (SUCCEEDED(info->GetRefTypeInfo(t.hreftype, &ref))) {
                BSTR n = nullptr;
                ref->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
                if (n) name = Ascii(n);
                SysFreeString(n);
                ref->Release();
            }
            return name;
        }
        default: return "vt" + std::to_string(t.vt);
    }
}

std::string DefaultText(const VARIANT& v) {
    char text[64];
    switch (V_VT(&v)) {
        case VT_R8: std::snprintf(text, sizeof text, "%.17g", V_R8(&v)); return std::string("R8:") + text;
        case VT_I2: return "I2:" + std::to_string(V_I2(&v));
        case VT_BSTR: return "BSTR:" + Ascii(V_BSTR(&v) ? V_BSTR(&v) : L"");
        default: return "vt" + std::to_string(V_VT(&v));
    }
}

// One function as text: "name kind dispid (params) -> result [flags] ctx "help"".
// A parameter reads "Name:Type" with "*" per level of reference, "?" when
// optional and "=VT:value" for a default. The value assigned by a property
// put has no name in a type library and shows as ":Type".
std::string Describe(ITypeInfo* info, const FUNCDESC& f) {
    BSTR names[8] = {};
    UINT count = 0;
    info->GetNames(f.memid, names, 8, &count);
    std::string text = count ? Ascii(names[0]) : "?";
    text += f.invkind == INVOKE_FUNC ? " method" : f.invkind == INVOKE_PROPERTYGET ? " get" : " let";
    char id[16];
    std::snprintf(id, sizeof id, " %08lX (", static_cast<unsigned long>(f.memid));
    text += id;
    std::string result = "none";
    bool first = true;
    for (SHORT p = 0; p < f.cParams; ++p) {
        const ELEMDESC& e = f.lprgelemdescParam[p];
        const USHORT flags = e.paramdesc.wParamFlags;
        if (flags & PARAMFLAG_FRETVAL) {
            result = TypeName(info, e.tdesc) + ((flags & PARAMFLAG_FOUT) ? "" : "(not out)");
            continue;
        }
        if (!first) text += ", ";
        first = false;
        const bool valueOfPut = f.invkind == INVOKE_PROPERTYPUT && p == f.cParams - 1;
        const bool named = !valueOfPut && static_cast<UINT>(p) + 1 < count;
        text += named ? Ascii(names[p + 1]) : "";
        text += ":" + TypeName(info, e.tdesc);
        if (flags & PARAMFLAG_FOPT) text += "?";
        if ((flags & PARAMFLAG_FHASDEFAULT) && e.paramdesc.pparamdescex)
            text += "=" + DefaultText(e.paramdesc.pparamdescex->varDefaultValue);
    }
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    text += ") -> " + result;
    if (f.wFuncFlags & FUNCFLAG_FHIDDEN) text += " hidden";
    if (f.wFuncFlags & FUNCFLAG_FUIDEFAULT) text += " uidefault";
    BSTR help = nullptr;
    DWORD context = 0;
    // Help strings and contexts are per function index; GetDocumentation
    // goes by identifier, so both accessors of a property share them.
    info->GetDocumentation(f.memid, nullptr, &help, &context, nullptr);
    text += " " + std::to_string(context) + " \"" + (help ? Ascii(help) : std::string()) + "\"";
    SysFreeString(help);
    return text;
}

// The published interface, entry by entry in vtable order.
const char* const kExpected[] = {
    "FireEvents get 68030007 () -> Boolean* 0 \"\"",
    "FireEvents let 68030007 (:Boolean*) -> none 0 \"\"",
    "MaxSize get 68030006 () -> Long* 1126 \"Returns the maximum posible size of Matrix.\"",
    "Rows let 68030005 (:Long) -> none 1101 \"Returns/sets number of rows. Values are preserved.\"",
    "Rows get 68030005 () -> Long* 1101 \"Returns/sets number of rows. Values are preserved.\"",
    "Cols let 68030004 (:Long) -> none 1102 \"Returns/sets the number of columns.\"",
    "Cols get 68030004 () -> Long* 1102 \"Returns/sets the number of columns.\"",
    "Size method 60030009 (NumOfRows:Long, NumOfCols:Long) -> none 1103 \"Sets both number of rows and cols and initializes the matrix.\"",
    "FillRandom method 6003000A (LowLimit:Double?=R8:0, HighLimit:Double?=R8:10, NumDecimalPlaces:Integer?=I2:0) -> none 1104 \"Fills matrix elements with random values.\"",
    "Item let 00000000 (RowIndex:Long, ColIndex:Long, :Double) -> none uidefault 0 \"\"",
    "Item get 00000000 (RowIndex:Long, ColIndex:Long) -> Double* uidefault 0 \"\"",
    "Clone method 6003000B () -> _Matrix** 1106 \"Creates a copy of current matrix and returns a reference to it.\"",
    "AsArray let 68030001 (:Double()*) -> none 1107 \"Returns/sets all values of matrix to/from an array.\"",
    "AsArray get 68030001 () -> Double()* 1107 \"Returns/sets all values of matrix to/from an array.\"",
    "Inverse method 6003000C () -> _Matrix** 1108 \"Returns the inverted matrix.\"",
    "Transpose method 6003000E () -> _Matrix** 1109 \"Returns the result of current matrix transpore.\"",
    "Plus method 6003000F (MatrixToAdd:_Matrix**) -> _Matrix** 1110 \"Adds current matrix with an other matrix and returns the result matrix.\"",
    "PlusEquals method 60030010 (Matrix2:_Matrix**) -> none 1111 \"Adds current matrix with an other matrix.\"",
    "Minus method 60030011 (MatrixToSubtract:_Matrix**) -> _Matrix** 1112 \"Subtracts from matrix an other matrix and returns the result matrix.\"",
    "MinusEquals method 60030012 (Matrix2:_Matrix**) -> none 1113 \"Subtracts from matrix an other matrix.\"",
    "Times method 60030013 (Matrix2:_Matrix**) -> _Matrix** 1114 \"Performs multiplication of matrices and returns the result matrix.\"",
    "TimesScalar method 60030014 (Number:Double*) -> _Matrix** 1115 \"Multiplies all items of current matrix with a value.\"",
    "Determinant method 60030015 () -> Double* 1116 \"Returns the value of the determinant.\"",
    "Solve method 60030016 (RightHandTerms:_Matrix**) -> _Matrix** 1117 \"Solves a system of simultaneous equations.\"",
    "SolveGauss method 60030017 (RightHandSide:_Matrix**) -> _Matrix** 1118 \"Solves the system of simultaneous equations using the Gauss method.\"",
    "IsSymmetric method 60030018 () -> Boolean* 1119 \"Returns True if matrix is symmetric else False.\"",
    "IsSquare method 60030019 () -> Boolean* 1120 \"Returns True if matrix is square else False.\"",
    "IsEqualTo method 6003001A (Matrix2:_Matrix**, MaxDifference:Double?=R8:1.0000000000000001e-09) -> Boolean* 1121 \"Returns true if matrix is equal to the one compared to.\"",
    "Normalize method 6003001B (NormValue:Double*?) -> _Matrix** 1122 \"Creates a normalized matrix out of current matrix and returns a reference to it.\"",
    "NormalizeMe method 6003001C (NormValue:Double*?) -> none 1123 \"Normalizes the current matrix.\"",
    "GetString method 6003001D (NumDecimalPlaces:Integer?=I2:3, EndOfLineChars:String?=BSTR:\\r\\n) -> String* 1124 \"Returns a formatted string with all matrix elements.\"",
    "Version get 68030000 () -> String* 1125 \"Returns current component's version as a string.\"",
    "LUdc method 6003001E (l:_Matrix**?, U:_Matrix**?, PermIndex:Variant*?, PermSign:Long*?) -> none hidden 1127 \"Performs LU decomposition of current matrix.\"",
    "LU method 6003001F (l:_Matrix**?, U:_Matrix**?, PermIndex:Variant*?, PermSign:Long*?) -> none 1127 \"Performs LU decomposition of current matrix.\"",
    "CHOLdc method 60030020 (l:_Matrix**?) -> none hidden 1128 \"On exit L returns the lower triangular matrix of Cholesky decomposition.\"",
    "Cholesky method 60030021 (l:_Matrix**?) -> none 1128 \"On exit L returns the lower triangular matrix of Cholesky decomposition.\"",
    "RearrangeRows method 60030022 (PermIndex:Variant*) -> none 1129 \"Rearranges rows of the matrix according to a permutation index.\"",
    "RearrangeCols method 60030023 (PermIndex:Variant*) -> none 1130 \"Rearranges columns of the matrix according to a permutation index.\"",
    "QR method 60030026 (Q:_Matrix**?, R:_Matrix**?) -> none 1131 \"Performs QR decomposition.\"",
    "SVD method 6003002C (U:_Matrix**?, S:_Matrix**?, V:_Matrix**?) -> none 1132 \"Performs Singular Value Decomposition of current matrix\"",
    "Eigen method 6003002D (RealValues:_Matrix**?, ImagValues:_Matrix**?, RealVectors:_Matrix**?, ImagVectors:_Matrix**?) -> none 1137 \"Calculates EigenValues and EigenVectors of current matrix.\"",
    "RowVector method 6003002F (RowIndex:Long*) -> _Matrix** 1138 \"Returns a row vector using a row of current matrix.\"",
    "ColVector method 60030030 (ColIndex:Long*) -> _Matrix** 1139 \"Returns a column vector using a column of current matrix.\"",
};

Ptr<ITypeLib> RegisteredLibrary() {
    Ptr<ITypeLib> lib;
    CHECK_HR(LoadRegTypeLib(kLibraryId, 1, 0, 0x409, lib.Out()), "LoadRegTypeLib");
    return lib;
}

}  // namespace

CLIENT_GROUP(TypeLibrary) {
    Ptr<ITypeLib> lib = RegisteredLibrary();
    if (!lib) return;

    TLIBATTR* attr = nullptr;
    CHECK_HR(lib->GetLibAttr(&attr), "GetLibAttr");
    if (attr) {
        CHECK(attr->guid == kLibraryId && attr->wMajorVerNum == 1 && attr->wMinorVerNum == 0,
              "library identity and version 1.0");
        CHECK(attr->lcid == 0x409, "library locale 0x409");
        lib->ReleaseTLibAttr(attr);
    }
    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    lib->GetDocumentation(-1, &name, &doc, nullptr, &helpFile);
    CHECK(name && std::wstring(name) == L"KestrimMatrixLib", "library name");
    const std::wstring help = helpFile ? helpFile : L"";
    CHECK(help.size() >= 12 && help.compare(help.size() - 12, 12, L"KTMatrix.CHM") == 0,
          "library help file KTMatrix.CHM: " + Ascii(help));
    CHECK(doc && std::wstring(doc).find(L"2.1") != std::wstring::npos, "library help string names version 2.1");
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(helpFile);
    CHECK(lib->GetTypeInfoCount() == 3, "three types");

    // _Matrix: the dispatch view of a dual interface, and its vtable view.
    Ptr<ITypeInfo> dispatch;
    CHECK_HR(lib->GetTypeInfoOfGuid(kMatrixInterfaceId, dispatch.Out()), "_Matrix");
    if (!dispatch) return;
    TYPEATTR* type = nullptr;
    dispatch->GetTypeAttr(&type);
    const WORD wanted = TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE;
    CHECK(type->typekind == TKIND_DISPATCH && (type->wTypeFlags & wanted) == wanted,
          "_Matrix is dual, hidden and non-extensible: flags " + std::to_string(type->wTypeFlags));
    dispatch->ReleaseTypeAttr(type);
    HREFTYPE vtableRef = 0;
    CHECK_HR(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef), "vtable view of _Matrix");
    Ptr<ITypeInfo> vtable;
    CHECK_HR(dispatch->GetRefTypeInfo(vtableRef, vtable.Out()), "vtable type info");
    if (!vtable) return;
    vtable->GetTypeAttr(&type);
    const int count = type->cFuncs;
    CHECK(type->typekind == TKIND_INTERFACE, "vtable view is an interface");
    CHECK((type->wTypeFlags & (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL)) == (TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDUAL),
          "the vtable view is automation-compatible: flags " + std::to_string(type->wTypeFlags));
    CHECK(count == 43, "_Matrix has 43 entries, found " + std::to_string(count));
    CHECK(type->cbSizeVft == (7 + 43) * sizeof(void*), "vtable size: IDispatch plus 43 slots");
    vtable->ReleaseTypeAttr(type);
    for (int i = 0; i < count && i < 43; ++i) {
        FUNCDESC* f = nullptr;
        if (FAILED(vtable->GetFuncDesc(static_cast<UINT>(i), &f))) {
            CHECK(false, "GetFuncDesc " + std::to_string(i));
            continue;
        }
        const std::string actual = Describe(vtable.Get(), *f);
        CHECK(actual == kExpected[i], "entry " + std::to_string(i + 1) + ":\n   got      " + actual +
                                          "\n   expected " + kExpected[i]);
        // Slot i of _Matrix follows the seven slots of IDispatch.
        CHECK(f->oVft == static_cast<SHORT>((7 + i) * sizeof(void*)), "vtable slot of entry " + std::to_string(i + 1));
        CHECK(f->funckind == FUNC_PUREVIRTUAL && f->callconv == CC_STDCALL &&
                  f->elemdescFunc.tdesc.vt == VT_HRESULT,
              "entry " + std::to_string(i + 1) + " returns a status code");
        vtable->ReleaseFuncDesc(f);
    }

    // Names resolve to their identifiers through the dispatch view.
    const struct {
        const wchar_t* name;
        DISPID id;
    } names[] = {{L"Item", 0}, {L"Plus", 0x6003000F}, {L"ColVector", 0x60030030}, {L"Version", 0x68030000},
                 {L"FireEvents", 0x68030007}, {L"CHOLdc", 0x60030020}};
    for (const auto& n : names) {
        MEMBERID id = 0;
        LPOLESTR text = const_cast<LPOLESTR>(n.name);
        CHECK(SUCCEEDED(dispatch->GetIDsOfNames(&text, 1, &id)) && id == n.id, "identifier of " + Ascii(n.name));
    }

    // __Matrix: the events.
    Ptr<ITypeInfo> events;
    CHECK_HR(lib->GetTypeInfoOfGuid(kMatrixEventsId, events.Out()), "__Matrix");
    if (events) {
        events->GetTypeAttr(&type);
        CHECK(type->typekind == TKIND_DISPATCH && (type->wTypeFlags & TYPEFLAG_FHIDDEN) &&
                  (type->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE) && !(type->wTypeFlags & TYPEFLAG_FDUAL),
              "__Matrix is a hidden, non-extensible dispinterface");
        std::string onProgress, done;
        for (UINT i = 0; i < type->cFuncs; ++i) {
            FUNCDESC* f = nullptr;
            if (FAILED(events->GetFuncDesc(i, &f))) continue;
            if (f->memid == 1) onProgress = Describe(events.Get(), *f);
            if (f->memid == 2) done = Describe(events.Get(), *f);
            events->ReleaseFuncDesc(f);
        }
        events->ReleaseTypeAttr(type);
        CHECK(onProgress == "OnProgress method 00000001 (Operation:String, Percent:Single, Cancel:Boolean*) -> none "
                            "1133 \"Fires during execution of a matrix operation.\"",
              "OnProgress: " + onProgress);
        CHECK(done == "Done method 00000002 (Operation:String) -> none 1134 \"Occurs when current operations has "
                      "finishes its execution.\"",
              "Done: " + done);
    }

    // Matrix: creatable, _Matrix by default, __Matrix as the default source.
    Ptr<ITypeInfo> coclass;
    CHECK_HR(lib->GetTypeInfoOfGuid(kMatrixClassId, coclass.Out()), "Matrix class");
    if (coclass) {
        coclass->GetTypeAttr(&type);
        CHECK(type->typekind == TKIND_COCLASS && (type->wTypeFlags & TYPEFLAG_FCANCREATE) && type->cImplTypes == 2,
              "Matrix is a creatable class with two interfaces");
        coclass->ReleaseTypeAttr(type);
        BSTR className = nullptr;
        coclass->GetDocumentation(MEMBERID_NIL, &className, nullptr, nullptr, nullptr);
        CHECK(className && std::wstring(className) == L"Matrix", "class name Matrix");
        SysFreeString(className);
        for (UINT i = 0; i < 2; ++i) {
            INT flags = 0;
            HREFTYPE ref = 0;
            Ptr<ITypeInfo> impl;
            coclass->GetImplTypeFlags(i, &flags);
            coclass->GetRefTypeOfImplType(i, &ref);
            coclass->GetRefTypeInfo(ref, impl.Out());
            TYPEATTR* implAttr = nullptr;
            if (impl && SUCCEEDED(impl->GetTypeAttr(&implAttr))) {
                if (i == 0)
                    CHECK(implAttr->guid == kMatrixInterfaceId && flags == IMPLTYPEFLAG_FDEFAULT,
                          "default interface _Matrix");
                else
                    CHECK(implAttr->guid == kMatrixEventsId &&
                              flags == (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE),
                          "default source __Matrix");
                impl->ReleaseTypeAttr(implAttr);
            } else {
                CHECK(false, "implemented type " + std::to_string(i));
            }
        }
    }

    // The DLL carries the same library as its resource.
    Ptr<ITypeLib> embedded;
    CHECK_HR(LoadTypeLibEx(DllPath().c_str(), REGKIND_NONE, embedded.Out()), "type library in the DLL");
    if (embedded) {
        TLIBATTR* e = nullptr;
        embedded->GetLibAttr(&e);
        CHECK(e && e->guid == kLibraryId, "embedded library identity");
        if (e) embedded->ReleaseTLibAttr(e);
    }
}

}  // namespace client
