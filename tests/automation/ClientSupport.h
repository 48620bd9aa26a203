// Helpers for the compiled automation client: a small check framework, a
// reference-holding pointer, and shortcuts for creating and reading
// matrices through the server's interfaces.
#pragma once

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>
#include <oleauto.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/automation/ComIds.h"
#include "host/automation/MatrixInterface.h"

namespace client {

using kestrim::automation::IMatrixDual;

// ---- checks -----------------------------------------------------------------

struct Tally {
    int passed = 0;
    int failed = 0;
};
Tally& Results();

void CheckImpl(bool condition, const std::string& what, const char* file, int line);
#define CHECK(condition, what) ::client::CheckImpl((condition), (what), __FILE__, __LINE__)
// Records the failure of an HRESULT with its value.
#define CHECK_HR(expr, what)                                                                    \
    do {                                                                                        \
        const HRESULT check_hr_ = (expr);                                                       \
        ::client::CheckImpl(SUCCEEDED(check_hr_), ::client::WithHr((what), check_hr_), __FILE__, \
                            __LINE__);                                                          \
    } while (0)
std::string WithHr(const std::string& what, HRESULT hr);

// A test group: a name and a body.
struct Group {
    const char* name;
    void (*body)();
};
std::vector<Group>& Groups();
struct RegisterGroup {
    RegisterGroup(const char* name, void (*body)()) { Groups().push_back({name, body}); }
};
#define CLIENT_GROUP(name)                                          \
    static void name();                                             \
    static ::client::RegisterGroup register_##name(#name, &name); \
    static void name()

// The DLL under test, as given on the command line.
const std::wstring& DllPath();

// ---- references -----------------------------------------------------------

template <class T>
class Ptr {
public:
    Ptr() = default;
    explicit Ptr(T* p, bool addRef = false) : p_(p) {
        if (p_ && addRef) p_->AddRef();
    }
    Ptr(const Ptr& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    Ptr& operator=(const Ptr& o) {
        Ptr copy(o);
        std::swap(p_, copy.p_);
        return *this;
    }
    ~Ptr() { Reset(); }
    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: releases what is held first.
    T** Out() {
        Reset();
        return &p_;
    }
    // For in/out parameters: keeps what is held.
    T** InOut() { return &p_; }
    template <class U>
    Ptr<U> As(const IID& iid) const {
        Ptr<U> result;
        if (p_) p_->QueryInterface(iid, reinterpret_cast<void**>(result.Out()));
        return result;
    }

private:
    T* p_ = nullptr;
};

using Matrix = Ptr<IMatrixDual>;
using Rows = std::vector<std::vector<double>>;

// ---- matrices through the server ------------------------------------------

// Creates a Matrix through the registry (CoCreateInstance).
Matrix NewMatrix();
Matrix FromRows(const Rows& rows);
// The elements through Rows, Cols and Item; empty when the reference is.
Rows ToRows(const Matrix& m);
bool Near(const Rows& a, const Rows& b, double tol);

// The error record of the last failed call: the status must be a failure
// and the object must support error information for _Matrix.
struct ErrorRecord {
    HRESULT number = S_OK;
    std::wstring source, description, helpFile;
    DWORD helpContext = 0;
};
ErrorRecord LastError(HRESULT hr);
// Expected component error: Number 0x80040514 + code, description composed
// from the code and message, help file "/KTMatrixLib.CHM" at the end.
void CheckMatrixError(HRESULT hr, int code, DWORD helpContext, const std::wstring& message,
                      const std::string& what);

// ---- dispatch ---------------------------------------------------------------

// Calls `id` through IDispatch::Invoke with the arguments left to right
// (they are reversed here, as DISPPARAMS wants them).
HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
             EXCEPINFO* exception = nullptr, std::vector<DISPID> named = {});
VARIANT Long(long v);
VARIANT Double(double v);
VARIANT Text(const wchar_t* v);
VARIANT ObjectRef(IMatrixDual** p);  // VT_DISPATCH | VT_BYREF
VARIANT Missing();

}  // namespace client
