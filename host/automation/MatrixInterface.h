// The dual interface _Matrix as a C++ vtable, and the events dispinterface
// __Matrix. The member order is the vtable order of the type library: the
// type library's functions are laid out in exactly this sequence, and
// ITypeInfo::Invoke calls these slots by their offsets.
#pragma once

#include <oaidl.h>
#include <ocidl.h>
#include <windows.h>

#include <type_traits>

namespace kestrim::automation {

// `_Matrix` in the type library.
struct IMatrixDual : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_FireEvents(VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_FireEvents(VARIANT_BOOL* Status) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxSize(long* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Rows(long NumOfRows) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Rows(long* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Cols(long NumOfCols) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Cols(long* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Size(long NumOfRows, long NumOfCols) = 0;
    virtual HRESULT STDMETHODCALLTYPE FillRandom(double LowLimit, double HighLimit,
                                                 short NumDecimalPlaces) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Item(long RowIndex, long ColIndex, double vData) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Item(long RowIndex, long ColIndex, double* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AsArray(SAFEARRAY** vData) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AsArray(SAFEARRAY** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Inverse(IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Transpose(IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Plus(IMatrixDual** MatrixToAdd, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE PlusEquals(IMatrixDual** Matrix2) = 0;
    virtual HRESULT STDMETHODCALLTYPE Minus(IMatrixDual** MatrixToSubtract, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE MinusEquals(IMatrixDual** Matrix2) = 0;
    virtual HRESULT STDMETHODCALLTYPE Times(IMatrixDual** Matrix2, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE TimesScalar(double* Number, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Determinant(double* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Solve(IMatrixDual** RightHandTerms, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE SolveGauss(IMatrixDual** RightHandSide, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSymmetric(VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsSquare(VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsEqualTo(IMatrixDual** Matrix2, double MaxDifference,
                                                VARIANT_BOOL* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE Normalize(double* NormValue, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE NormalizeMe(double* NormValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetString(short NumDecimalPlaces, BSTR EndOfLineChars,
                                                BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Version(BSTR* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE LUdc(IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex,
                                           long* PermSign) = 0;
    virtual HRESULT STDMETHODCALLTYPE LU(IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex,
                                         long* PermSign) = 0;
    virtual HRESULT STDMETHODCALLTYPE CHOLdc(IMatrixDual** l) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cholesky(IMatrixDual** l) = 0;
    virtual HRESULT STDMETHODCALLTYPE RearrangeRows(VARIANT* PermIndex) = 0;
    virtual HRESULT STDMETHODCALLTYPE RearrangeCols(VARIANT* PermIndex) = 0;
    virtual HRESULT STDMETHODCALLTYPE QR(IMatrixDual** Q, IMatrixDual** R) = 0;
    virtual HRESULT STDMETHODCALLTYPE SVD(IMatrixDual** U, IMatrixDual** S, IMatrixDual** V) = 0;
    virtual HRESULT STDMETHODCALLTYPE Eigen(IMatrixDual** RealValues, IMatrixDual** ImagValues,
                                            IMatrixDual** RealVectors, IMatrixDual** ImagVectors) = 0;
    virtual HRESULT STDMETHODCALLTYPE RowVector(long* RowIndex, IMatrixDual** result) = 0;
    virtual HRESULT STDMETHODCALLTYPE ColVector(long* ColIndex, IMatrixDual** result) = 0;
};

// The automation types have the same sizes in the 32-bit and the 64-bit
// build (only VARIANT grows with the pointer size), and every method uses
// the platform's COM calling convention (__stdcall on 32-bit x86), which
// ITypeInfo::Invoke assumes when it calls a vtable slot.
static_assert(sizeof(long) == 4 && sizeof(short) == 2 && sizeof(VARIANT_BOOL) == 2 && sizeof(DISPID) == 4,
              "Long, Integer and Boolean are 32-, 16- and 16-bit");
static_assert(sizeof(VARIANT) == 2 * sizeof(void*) + 8, "VARIANT layout of the platform");
static_assert(sizeof(SAFEARRAYBOUND) == 8, "SAFEARRAY bounds are a 32-bit count and lower bound");
#if defined(__i386__)
static_assert(std::is_same_v<decltype(&IMatrixDual::Size), HRESULT (__stdcall IMatrixDual::*)(long, long)>,
              "vtable methods are __stdcall");
#endif

// Dispatch identifiers of the events dispinterface `__Matrix`.
inline constexpr DISPID kDispIdOnProgress = 1;
inline constexpr DISPID kDispIdDone = 2;

}  // namespace kestrim::automation
