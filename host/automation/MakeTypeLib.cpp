// Build-time tool: writes the KestrimMatrixLib type library with
// ICreateTypeLib2, from the member table. It runs on Windows (or under Wine
// when cross-compiling) and takes the output path as its only argument.
//
// A generator is used instead of an IDL compiler because the library needs
// Double default values (FillRandom, IsEqualTo), which neither the IDL
// compiler of the cross build nor Wine's ICreateTypeLib2 can encode. The
// generator therefore writes each Double default as a text placeholder of
// known bytes, patches the saved file so that the entry holds the Double
// (a VARTYPE followed by the 8-byte value, the layout type-library readers
// expect), and finally reloads the library and checks every default.
#include <windows.h>

#include <oaidl.h>
#include <oleauto.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/automation/ComIds.h"
#include "host/automation/TypeLibraryTable.h"

namespace {

using namespace kestrim::automation;
using namespace kestrim::automation::typelib;

struct Failure {
    std::string what;
    HRESULT hr;
};

void Check(HRESULT hr, const std::string& what) {
    if (FAILED(hr)) throw Failure{what, hr};
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    return out;
}

// Double defaults waiting to be patched, by placeholder text.
std::vector<std::pair<std::wstring, double>> g_doubleDefaults;

// A placeholder of exactly 8 ASCII characters, one per distinct value.
std::wstring PlaceholderFor(double value) {
    for (const auto& [text, v] : g_doubleDefaults)
        if (std::memcmp(&v, &value, sizeof value) == 0) return text;
    wchar_t text[16];
    std::swprintf(text, 16, L"KTR8#%03u", static_cast<unsigned>(g_doubleDefaults.size()));
    g_doubleDefaults.emplace_back(text, value);
    return text;
}

// Rewrites every placeholder entry of the saved file as a Double. A text
// default is stored as VARTYPE (2 bytes), length (4 bytes) and the
// characters; a Double default is VARTYPE and 8 bytes of value, which fits
// in the space of an 8-character text.
void PatchDoubleDefaults(const wchar_t* path) {
    std::vector<char> bytes;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw Failure{"reading the saved type library", E_FAIL};
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    for (const auto& [text, value] : g_doubleDefaults) {
        char pattern[14] = {VT_BSTR, 0, 8, 0, 0, 0};
        for (int i = 0; i < 8; ++i) pattern[6 + i] = static_cast<char>(text[i]);
        int found = 0;
        for (std::size_t at = 0; at + sizeof pattern <= bytes.size(); ++at) {
            if (std::memcmp(&bytes[at], pattern, sizeof pattern) != 0) continue;
            const unsigned short vt = VT_R8;
            std::memcpy(&bytes[at], &vt, sizeof vt);
            std::memcpy(&bytes[at + 2], &value, sizeof value);
            ++found;
        }
        if (found == 0) throw Failure{"locating a Double default placeholder", E_FAIL};
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw Failure{"writing the patched type library", E_FAIL};
}

// Reloads the file and compares every default value with the table.
void VerifyDefaults(const wchar_t* path) {
    ITypeLib* lib = nullptr;
    Check(LoadTypeLibEx(path, REGKIND_NONE, &lib), "reloading the type library");
    ITypeInfo* info = nullptr;
    HRESULT hr = lib->GetTypeInfoOfGuid(kMatrixInterfaceId, &info);
    lib->Release();
    Check(hr, "reloading _Matrix");
    std::string problem;
    for (int i = 0; i < kMemberCount && problem.empty(); ++i) {
        const Member& m = kMembers[i];
        MEMBERID id = m.dispId;
        // Find the function by name and kind through the dispatch view.
        TYPEATTR* attr = nullptr;
        info->GetTypeAttr(&attr);
        const int funcs = attr->cFuncs;
        info->ReleaseTypeAttr(attr);
        bool seen = false;
        for (int f = 0; f < funcs && problem.empty(); ++f) {
            FUNCDESC* desc = nullptr;
            if (FAILED(info->GetFuncDesc(static_cast<UINT>(f), &desc))) continue;
            if (desc->memid == id && desc->invkind == m.kind) {
                seen = true;
                for (int p = 0; p < m.paramCount; ++p) {
                    const Param& param = m.params[p];
                    if (param.defaultKind == Default::None) continue;
                    const PARAMDESC& pd = desc->lprgelemdescParam[p].paramdesc;
                    if (!(pd.wParamFlags & PARAMFLAG_FHASDEFAULT) || !pd.pparamdescex) {
                        problem = "missing default";
                        break;
                    }
                    const VARIANT& v = pd.pparamdescex->varDefaultValue;
                    bool ok = false;
                    switch (param.defaultKind) {
                        case Default::Double:
                            ok = V_VT(&v) == VT_R8 && V_R8(&v) == param.defaultNumber;
                            break;
                        case Default::Integer:
                            ok = V_VT(&v) == VT_I2 && V_I2(&v) == param.defaultNumber;
                            break;
                        case Default::String:
                            ok = V_VT(&v) == VT_BSTR &&
                                 std::wcscmp(V_BSTR(&v), param.defaultText) == 0;
                            break;
                        case Default::None: break;
                    }
                    if (!ok) problem = "wrong default of " + Narrow(m.name) + "." + Narrow(param.name);
                }
            }
            info->ReleaseFuncDesc(desc);
        }
        if (!seen && problem.empty()) problem = "member not found: " + Narrow(m.name);
    }
    info->Release();
    if (!problem.empty()) throw Failure{"verifying the type library: " + problem, E_FAIL};
}

// Owns the nested TYPEDESCs and default values of one function description
// for as long as AddFuncDesc needs them.
class FuncBuilder {
public:
    FuncBuilder(HREFTYPE matrixRef) : matrixRef_(matrixRef) {}

    FUNCDESC Build(const Member& member, FUNCKIND funcKind) {
        params_.clear();
        const int retval = member.result == Type::Void ? 0 : 1;
        params_.resize(member.paramCount + retval);
        for (int p = 0; p < member.paramCount; ++p) {
            const Param& param = member.params[p];
            ELEMDESC& e = params_[p];
            e = ELEMDESC{};
            e.tdesc = param.byRef ? Pointer(Value(param.type)) : Value(param.type);
            USHORT flags = PARAMFLAG_FIN;
            if (param.byRef) flags |= PARAMFLAG_FOUT;
            if (param.optional) flags |= PARAMFLAG_FOPT;
            if (param.defaultKind != Default::None) {
                flags |= PARAMFLAG_FHASDEFAULT;
                PARAMDESCEX& ex = defaults_.emplace_back();
                ex.cBytes = sizeof(PARAMDESCEX);
                VariantInit(&ex.varDefaultValue);
                switch (param.defaultKind) {
                    case Default::Double: {
                        // Patched into a real Double after the file is saved.
                        V_VT(&ex.varDefaultValue) = VT_BSTR;
                        V_BSTR(&ex.varDefaultValue) =
                            SysAllocString(PlaceholderFor(param.defaultNumber).c_str());
                        break;
                    }
                    case Default::Integer:
                        V_VT(&ex.varDefaultValue) = VT_I2;
                        V_I2(&ex.varDefaultValue) = static_cast<SHORT>(param.defaultNumber);
                        break;
                    case Default::String:
                        V_VT(&ex.varDefaultValue) = VT_BSTR;
                        V_BSTR(&ex.varDefaultValue) = SysAllocString(param.defaultText);
                        break;
                    case Default::None: break;
                }
                e.paramdesc.pparamdescex = &ex;
            }
            e.paramdesc.wParamFlags = flags;
        }
        if (retval) {
            ELEMDESC& e = params_.back();
            e = ELEMDESC{};
            e.tdesc = Pointer(Value(member.result));
            e.paramdesc.wParamFlags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
        }
        FUNCDESC desc{};
        desc.memid = member.dispId;
        desc.funckind = funcKind;
        desc.invkind = member.kind;
        desc.callconv = CC_STDCALL;
        desc.cParams = static_cast<SHORT>(params_.size());
        desc.cParamsOpt = 0;
        desc.lprgelemdescParam = params_.empty() ? nullptr : params_.data();
        desc.oVft = 0;
        desc.elemdescFunc.tdesc.vt = funcKind == FUNC_DISPATCH ? VT_VOID : VT_HRESULT;
        desc.wFuncFlags = member.funcFlags;
        return desc;
    }

    ~FuncBuilder() {
        for (auto& ex : defaults_) VariantClear(&ex.varDefaultValue);
    }

private:
    TYPEDESC Value(Type type) {
        TYPEDESC t{};
        switch (type) {
            case Type::Void: t.vt = VT_VOID; break;
            case Type::Boolean: t.vt = VT_BOOL; break;
            case Type::Long: t.vt = VT_I4; break;
            case Type::Integer: t.vt = VT_I2; break;
            case Type::Double: t.vt = VT_R8; break;
            case Type::Single: t.vt = VT_R4; break;
            case Type::String: t.vt = VT_BSTR; break;
            case Type::Variant: t.vt = VT_VARIANT; break;
            case Type::DoubleArray: {
                TYPEDESC& element = nested_.emplace_back();
                element = TYPEDESC{};
                element.vt = VT_R8;
                t.vt = VT_SAFEARRAY;
                t.lptdesc = &element;
                break;
            }
            case Type::Matrix: {
                TYPEDESC& user = nested_.emplace_back();
                user = TYPEDESC{};
                user.vt = VT_USERDEFINED;
                user.hreftype = matrixRef_;
                t.vt = VT_PTR;
                t.lptdesc = &user;
                break;
            }
        }
        return t;
    }
    TYPEDESC Pointer(TYPEDESC target) {
        TYPEDESC& stored = nested_.emplace_back(target);
        TYPEDESC t{};
        t.vt = VT_PTR;
        t.lptdesc = &stored;
        return t;
    }

    HREFTYPE matrixRef_;
    std::vector<ELEMDESC> params_;
    std::deque<TYPEDESC> nested_;
    std::deque<PARAMDESCEX> defaults_;
};

void AddMembers(ICreateTypeInfo* info, const Member* members, int count, FUNCKIND funcKind,
                HREFTYPE matrixRef, const std::string& owner) {
    for (int i = 0; i < count; ++i) {
        const Member& m = members[i];
        const std::string where = owner + "." + Narrow(m.name);
        FuncBuilder builder(matrixRef);
        FUNCDESC desc = builder.Build(m, funcKind);
        Check(info->AddFuncDesc(static_cast<UINT>(i), &desc), "AddFuncDesc " + where);

        // Names: the member, then every parameter except the [out, retval]
        // one. A property put's last parameter is the assigned value, which
        // type libraries never name.
        std::vector<LPOLESTR> names;
        names.push_back(const_cast<LPOLESTR>(m.name));
        const int named = m.kind == INVOKE_PROPERTYPUT ? m.paramCount - 1 : m.paramCount;
        for (int p = 0; p < named; ++p) names.push_back(const_cast<LPOLESTR>(m.params[p].name));
        Check(info->SetFuncAndParamNames(static_cast<UINT>(i), names.data(),
                                         static_cast<UINT>(names.size())),
              "SetFuncAndParamNames " + where);
        if (m.help) Check(info->SetFuncDocString(static_cast<UINT>(i), const_cast<LPOLESTR>(m.help)),
                          "SetFuncDocString " + where);
        if (m.helpContext)
            Check(info->SetFuncHelpContext(static_cast<UINT>(i), m.helpContext),
                  "SetFuncHelpContext " + where);
    }
}

template <class T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
    operator T*() const { return p; }
};

void Generate(const wchar_t* path) {
    Ref<ICreateTypeLib2> lib;
    Check(CreateTypeLib2(kTargetSysKind, path, &lib), "CreateTypeLib2");
    Check(lib->SetName(const_cast<LPOLESTR>(kLibraryName)), "SetName");
    Check(lib->SetGuid(kLibraryId), "SetGuid");
    Check(lib->SetVersion(kLibraryMajor, kLibraryMinor), "SetVersion");
    Check(lib->SetLcid(kLibraryLocale), "SetLcid");
    Check(lib->SetHelpFileName(const_cast<LPOLESTR>(kLibraryHelpFile)), "SetHelpFileName");
    Check(lib->SetDocString(const_cast<LPOLESTR>(kLibraryHelpString)), "SetDocString");

    Ref<ITypeLib> stdole;
    Check(LoadTypeLib(L"stdole2.tlb", &stdole), "LoadTypeLib stdole2.tlb");
    Ref<ITypeInfo> dispatchInfo;
    Check(stdole->GetTypeInfoOfGuid(IID_IDispatch, &dispatchInfo), "IDispatch type info");

    // _Matrix: dual, hidden, non-extensible, automation-compatible.
    Ref<ICreateTypeInfo> matrix;
    Check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"_Matrix"), TKIND_INTERFACE, &matrix),
          "CreateTypeInfo _Matrix");
    Check(matrix->SetGuid(kMatrixInterfaceId), "SetGuid _Matrix");
    Check(matrix->SetTypeFlags(TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                               TYPEFLAG_FOLEAUTOMATION),
          "SetTypeFlags _Matrix");
    HREFTYPE dispatchRef = 0;
    Check(matrix->AddRefTypeInfo(dispatchInfo, &dispatchRef), "AddRefTypeInfo IDispatch");
    Check(matrix->AddImplType(0, dispatchRef), "AddImplType _Matrix");
    Ref<ITypeInfo> matrixInfo;
    Check(matrix->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(&matrixInfo)),
          "ITypeInfo of _Matrix");
    HREFTYPE matrixRef = 0;
    Check(matrix->AddRefTypeInfo(matrixInfo, &matrixRef), "AddRefTypeInfo _Matrix");
    AddMembers(matrix, kMembers, kMemberCount, FUNC_PUREVIRTUAL, matrixRef, "_Matrix");
    Check(matrix->LayOut(), "LayOut _Matrix");

    // __Matrix: the events, dispatch-only, hidden, non-extensible.
    Ref<ICreateTypeInfo> events;
    Check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"__Matrix"), TKIND_DISPATCH, &events),
          "CreateTypeInfo __Matrix");
    Check(events->SetGuid(kMatrixEventsId), "SetGuid __Matrix");
    Check(events->SetTypeFlags(TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE), "SetTypeFlags __Matrix");
    HREFTYPE eventsDispatchRef = 0;
    Check(events->AddRefTypeInfo(dispatchInfo, &eventsDispatchRef), "AddRefTypeInfo IDispatch (events)");
    Check(events->AddImplType(0, eventsDispatchRef), "AddImplType __Matrix");
    AddMembers(events, kEvents, kEventCount, FUNC_DISPATCH, 0, "__Matrix");
    Check(events->LayOut(), "LayOut __Matrix");
    Ref<ITypeInfo> eventsInfo;
    Check(events->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(&eventsInfo)),
          "ITypeInfo of __Matrix");

    // Matrix: the creatable class.
    Ref<ICreateTypeInfo> coclass;
    Check(lib->CreateTypeInfo(const_cast<LPOLESTR>(L"Matrix"), TKIND_COCLASS, &coclass),
          "CreateTypeInfo Matrix");
    Check(coclass->SetGuid(kMatrixClassId), "SetGuid Matrix");
    Check(coclass->SetTypeFlags(TYPEFLAG_FCANCREATE), "SetTypeFlags Matrix");
    HREFTYPE defaultRef = 0, sourceRef = 0;
    Check(coclass->AddRefTypeInfo(matrixInfo, &defaultRef), "AddRefTypeInfo _Matrix (class)");
    Check(coclass->AddRefTypeInfo(eventsInfo, &sourceRef), "AddRefTypeInfo __Matrix (class)");
    Check(coclass->AddImplType(0, defaultRef), "AddImplType Matrix 0");
    Check(coclass->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT), "SetImplTypeFlags Matrix 0");
    Check(coclass->AddImplType(1, sourceRef), "AddImplType Matrix 1");
    Check(coclass->SetImplTypeFlags(1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE),
          "SetImplTypeFlags Matrix 1");
    Check(coclass->LayOut(), "LayOut Matrix");

    Check(lib->SaveAllChanges(), "SaveAllChanges");
}

void GenerateAndCheck(const wchar_t* path) {
    Generate(path);
    PatchDoubleDefaults(path);
    VerifyDefaults(path);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: MakeTypeLib <output.tlb>\n");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr))) {
        std::fprintf(stderr, "MakeTypeLib: CoInitialize failed\n");
        return 1;
    }
    int rc = 0;
    try {
        GenerateAndCheck(argv[1]);
    } catch (const Failure& f) {
        std::fprintf(stderr, "MakeTypeLib: %s failed (0x%08lX)\n", f.what.c_str(),
                     static_cast<unsigned long>(f.hr));
        rc = 1;
    }
    CoUninitialize();
    return rc;
}
