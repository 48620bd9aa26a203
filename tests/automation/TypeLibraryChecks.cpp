// The registered type library against the published interface: every _Matrix
// entry (name, identifier, kind, parameters, flags, defaults, help), events, class.
#include "ClientSupport.h"

namespace client {
namespace {
std::string TypeName(ITypeInfo* info, const TYPEDESC& t) {
    const std::pair<VARTYPE, const char*> simple[] = {{VT_BOOL, "Boolean"}, {VT_I4, "Long"},   {VT_I2, "Integer"},
                                                      {VT_R8, "Double"},    {VT_R4, "Single"}, {VT_BSTR, "String"},
                                                      {VT_VARIANT, "Variant"}};
    for (const auto& [vt, name] : simple)
        if (t.vt == vt) return name;
    if (t.vt == VT_SAFEARRAY || t.vt == VT_PTR) return TypeName(info, *t.lptdesc) + (t.vt == VT_PTR ? "*" : "()");
    Ptr<ITypeInfo> ref;
    BSTR n = nullptr;
    if (t.vt == VT_USERDEFINED && SUCCEEDED(info->GetRefTypeInfo(t.hreftype, ref.Out())))
        ref->GetDocumentation(MEMBERID_NIL, &n, nullptr, nullptr, nullptr);
    const std::string name = n ? Ascii(n) : "vt" + std::to_string(t.vt);
    SysFreeString(n);
    return name;
}

// "name kind dispid (params) -> result [flags] context "help"". A parameter
// reads "Name:Type", "?" when optional, "=VT:value" for a default; the value
// of a property put has no name.
std::string Describe(ITypeInfo* info, const FUNCDESC& f) {
    BSTR names[8] = {};
    UINT count = 0;
    info->GetNames(f.memid, names, 8, &count);
    char id[16];
    std::snprintf(id, sizeof id, " %08lX (", static_cast<unsigned long>(f.memid));
    std::string text = (count ? Ascii(names[0]) : "?") +
                       (f.invkind == INVOKE_FUNC ? " method" : f.invkind == INVOKE_PROPERTYGET ? " get" : " let") + id;
    std::string result = "none", sep;
    for (SHORT p = 0; p < f.cParams; ++p) {
        const ELEMDESC& e = f.lprgelemdescParam[p];
        const USHORT flags = e.paramdesc.wParamFlags;
        if (flags & PARAMFLAG_FRETVAL) {
            result = TypeName(info, e.tdesc) + ((flags & PARAMFLAG_FOUT) ? "" : "(not out)");
            continue;
        }
        const bool named = !(f.invkind == INVOKE_PROPERTYPUT && p == f.cParams - 1) && UINT(p) + 1 < count;
        text += sep + (named ? Ascii(names[p + 1]) : "") + ":" + TypeName(info, e.tdesc);
        sep = ", ";
        if (flags & PARAMFLAG_FOPT) text += "?";
        if ((flags & PARAMFLAG_FHASDEFAULT) && e.paramdesc.pparamdescex) {
            const VARIANT& v = e.paramdesc.pparamdescex->varDefaultValue;
            char value[64] = "";
            if (V_VT(&v) == VT_R8) std::snprintf(value, sizeof value, "R8:%.17g", V_R8(&v));
            if (V_VT(&v) == VT_I2) std::snprintf(value, sizeof value, "I2:%d", V_I2(&v));
            text += std::string("=") + (V_VT(&v) == VT_BSTR ? "BSTR:" + Ascii(V_BSTR(&v)) : std::string(value));
        }
    }
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    text += ") -> " + result + (f.wFuncFlags & FUNCFLAG_FHIDDEN ? " hidden" : "") +
            (f.wFuncFlags & FUNCFLAG_FUIDEFAULT ? " uidefault" : "");
    BSTR help = nullptr;
    DWORD context = 0;
    info->GetDocumentation(f.memid, nullptr, &help, &context, nullptr);
    text += " " + std::to_string(context) + " \"" + (help ? Ascii(help) : std::string()) + "\"";
    SysFreeString(help);
    return text;
}
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
const char* const kEvents[] = {
    "OnProgress method 00000001 (Operation:String, Percent:Single, Cancel:Boolean*) -> none 1133 \"Fires during "
    "execution of a matrix operation.\"",
    "Done method 00000002 (Operation:String) -> none 1134 \"Occurs when current operations has finishes its execution.\"",
};

// Compares the functions of `info` with the table: the vtable view's by
// slot after IDispatch's seven (all stdcall, returning HRESULT), the events'
// by identifier 1, 2 (a dispinterface also lists IDispatch's members).
void CheckFunctions(ITypeInfo* info, const char* const* expected, UINT count, bool vtable) {
    TYPEATTR* type = nullptr;
    std::vector<std::string> got(count);
    if (info && SUCCEEDED(info->GetTypeAttr(&type))) {
        CHECK(!vtable || type->cFuncs == count, "function count " + std::to_string(type->cFuncs));
        for (UINT i = 0; i < type->cFuncs; ++i) {
            FUNCDESC* f = nullptr;
            if (FAILED(info->GetFuncDesc(i, &f))) continue;
            const UINT k = vtable ? UINT(f->oVft / int(sizeof(void*)) - 7) : UINT(f->memid - 1);
            if (k < count && (!vtable || (f->callconv == CC_STDCALL && f->funckind == FUNC_PUREVIRTUAL &&
                                          f->elemdescFunc.tdesc.vt == VT_HRESULT)))
                got[k] = Describe(info, *f);
            info->ReleaseFuncDesc(f);
        }
        info->ReleaseTypeAttr(type);
    }
    for (UINT k = 0; k < count; ++k)
        CHECK(got[k] == expected[k], "entry " + std::to_string(k + 1) + ":\n   got      " + got[k] + "\n   expected " + expected[k]);
}

// Checks a type's kind and flags (all of `set`, none of `clear`).
Ptr<ITypeInfo> CheckType(ITypeLib* lib, const GUID& id, TYPEKIND kind, WORD set, WORD clear, const char* what) {
    Ptr<ITypeInfo> info;
    TYPEATTR* type = nullptr;
    lib->GetTypeInfoOfGuid(id, info.Out());
    CHECK(info && SUCCEEDED(info->GetTypeAttr(&type)) && type->typekind == kind && (type->wTypeFlags & set) == set &&
              !(type->wTypeFlags & clear),
          what);
    if (type) info->ReleaseTypeAttr(type);
    return info;
}

}  // namespace

CLIENT_GROUP(TypeLibrary) {
    Ptr<ITypeLib> lib;
    CHECK_HR(LoadRegTypeLib(kLibraryId, 1, 0, 0x409, lib.Out()), "LoadRegTypeLib");
    if (!lib) return;
    TLIBATTR* la = nullptr;
    lib->GetLibAttr(&la);
    CHECK(la && la->guid == kLibraryId && la->wMajorVerNum == 1 && la->wMinorVerNum == 0 && la->lcid == 0x409,
          "library identity, version 1.0, locale 0x409");
    if (la) lib->ReleaseTLibAttr(la);
    BSTR name = nullptr, doc = nullptr, file = nullptr;
    lib->GetDocumentation(-1, &name, &doc, nullptr, &file);
    const std::wstring help = file ? file : L"";
    CHECK(name && std::wstring(name) == L"KestrimMatrixLib" && doc && std::wstring(doc).find(L"2.1") != std::wstring::npos &&
              EndsWith(help, L"KTMatrix.CHM") && lib->GetTypeInfoCount() == 3,
          "library name, help string, help file " + Ascii(help) + ", three types");
    for (BSTR text : {name, doc, file}) SysFreeString(text);
    // _Matrix: dual, hidden, non-extensible; its vtable view lists the entries.
    Ptr<ITypeInfo> dispatch = CheckType(lib.Get(), kMatrixInterfaceId, TKIND_DISPATCH,
                                        TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE, 0, "_Matrix flags");
    HREFTYPE vtableRef = 0;
    Ptr<ITypeInfo> vtable;
    if (dispatch && SUCCEEDED(dispatch->GetRefTypeOfImplType(UINT(-1), &vtableRef)))
        dispatch->GetRefTypeInfo(vtableRef, vtable.Out());
    CheckFunctions(vtable.Get(), kExpected, 43, true);
    Ptr<ITypeInfo> events = CheckType(lib.Get(), kMatrixEventsId, TKIND_DISPATCH,
                                      TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE, TYPEFLAG_FDUAL, "__Matrix flags");
    CheckFunctions(events.Get(), kEvents, 2, false);
    // Matrix: creatable; _Matrix by default, __Matrix as the default source.
    Ptr<ITypeInfo> coclass = CheckType(lib.Get(), kMatrixClassId, TKIND_COCLASS, TYPEFLAG_FCANCREATE, 0, "Matrix class");
    for (UINT i = 0; coclass && i < 2; ++i) {
        INT flags = 0;
        HREFTYPE ref = 0;
        Ptr<ITypeInfo> impl;
        TYPEATTR* attr = nullptr;
        coclass->GetImplTypeFlags(i, &flags);
        const bool found = SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref)) &&
                           SUCCEEDED(coclass->GetRefTypeInfo(ref, impl.Out())) && SUCCEEDED(impl->GetTypeAttr(&attr));
        CHECK(found && attr->guid == (i ? kMatrixEventsId : kMatrixInterfaceId) &&
                  flags == (i ? IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE : IMPLTYPEFLAG_FDEFAULT),
              "implemented type " + std::to_string(i));
        if (attr) impl->ReleaseTypeAttr(attr);
    }
}

}  // namespace client
