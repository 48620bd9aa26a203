// The COM object behind the class Matrix: it wraps one kestrim::Matrix and
// presents it through the dual interface _Matrix, with error records,
// connection points for the events and class information.
#pragma once

#include <windows.h>

#include <ocidl.h>

#include <memory>
#include <vector>

#include "host/automation/MatrixInterface.h"
#include "kestrim/Matrix.h"

namespace kestrim::automation {

class MatrixObject;

// Answered only by the server's own objects (kMatrixSelfId); it lets a
// member turn a _Matrix argument back into the object behind it.
struct IMatrixSelf : public IUnknown {
    virtual MatrixObject* STDMETHODCALLTYPE Object() = 0;
};

class MatrixObject final : public IMatrixDual,
                           public ISupportErrorInfo,
                           public IConnectionPointContainer,
                           public IProvideClassInfo2,
                           public IMatrixSelf {
public:
    // A new object around `matrix` with one reference; nullptr for an
    // empty reference. Throws std::bad_alloc.
    static IMatrixDual* Wrap(MatrixPtr matrix);
    // The object behind an interface pointer, or nullptr when the pointer
    // is not one of this server's objects.
    static MatrixObject* FromInterface(IUnknown* object);

    const MatrixPtr& Matrix() const noexcept { return matrix_; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

    // _Matrix
    HRESULT STDMETHODCALLTYPE get_FireEvents(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE put_FireEvents(VARIANT_BOOL* Status) override;
    HRESULT STDMETHODCALLTYPE get_MaxSize(long* result) override;
    HRESULT STDMETHODCALLTYPE put_Rows(long NumOfRows) override;
    HRESULT STDMETHODCALLTYPE get_Rows(long* result) override;
    HRESULT STDMETHODCALLTYPE put_Cols(long NumOfCols) override;
    HRESULT STDMETHODCALLTYPE get_Cols(long* result) override;
    HRESULT STDMETHODCALLTYPE Size(long NumOfRows, long NumOfCols) override;
    HRESULT STDMETHODCALLTYPE FillRandom(double LowLimit, double HighLimit, short NumDecimalPlaces) override;
    HRESULT STDMETHODCALLTYPE put_Item(long RowIndex, long ColIndex, double vData) override;
    HRESULT STDMETHODCALLTYPE get_Item(long RowIndex, long ColIndex, double* result) override;
    HRESULT STDMETHODCALLTYPE Clone(IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE put_AsArray(SAFEARRAY** vData) override;
    HRESULT STDMETHODCALLTYPE get_AsArray(SAFEARRAY** result) override;
    HRESULT STDMETHODCALLTYPE Inverse(IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE Transpose(IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE Plus(IMatrixDual** MatrixToAdd, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE PlusEquals(IMatrixDual** Matrix2) override;
    HRESULT STDMETHODCALLTYPE Minus(IMatrixDual** MatrixToSubtract, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE MinusEquals(IMatrixDual** Matrix2) override;
    HRESULT STDMETHODCALLTYPE Times(IMatrixDual** Matrix2, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE TimesScalar(double* Number, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE Determinant(double* result) override;
    HRESULT STDMETHODCALLTYPE Solve(IMatrixDual** RightHandTerms, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE SolveGauss(IMatrixDual** RightHandSide, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE IsSymmetric(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE IsSquare(VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE IsEqualTo(IMatrixDual** Matrix2, double MaxDifference, VARIANT_BOOL* result) override;
    HRESULT STDMETHODCALLTYPE Normalize(double* NormValue, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE NormalizeMe(double* NormValue) override;
    HRESULT STDMETHODCALLTYPE GetString(short NumDecimalPlaces, BSTR EndOfLineChars, BSTR* result) override;
    HRESULT STDMETHODCALLTYPE get_Version(BSTR* result) override;
    HRESULT STDMETHODCALLTYPE LUdc(IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex, long* PermSign) override;
    HRESULT STDMETHODCALLTYPE LU(IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex, long* PermSign) override;
    HRESULT STDMETHODCALLTYPE CHOLdc(IMatrixDual** l) override;
    HRESULT STDMETHODCALLTYPE Cholesky(IMatrixDual** l) override;
    HRESULT STDMETHODCALLTYPE RearrangeRows(VARIANT* PermIndex) override;
    HRESULT STDMETHODCALLTYPE RearrangeCols(VARIANT* PermIndex) override;
    HRESULT STDMETHODCALLTYPE QR(IMatrixDual** Q, IMatrixDual** R) override;
    HRESULT STDMETHODCALLTYPE SVD(IMatrixDual** U, IMatrixDual** S, IMatrixDual** V) override;
    HRESULT STDMETHODCALLTYPE Eigen(IMatrixDual** RealValues, IMatrixDual** ImagValues,
                                    IMatrixDual** RealVectors, IMatrixDual** ImagVectors) override;
    HRESULT STDMETHODCALLTYPE RowVector(long* RowIndex, IMatrixDual** result) override;
    HRESULT STDMETHODCALLTYPE ColVector(long* ColIndex, IMatrixDual** result) override;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** result) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** result) override;

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** result) override;
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* result) override;

    // IMatrixSelf
    MatrixObject* STDMETHODCALLTYPE Object() override { return this; }

    // Raises the events to every connected sink, in connection order.
    void FireOnProgress(const std::string& operation, float percent, bool& cancel);
    void FireDone(const std::string& operation);

private:
    explicit MatrixObject(MatrixPtr matrix);
    ~MatrixObject();

    // The connection point for __Matrix. It shares the object's lifetime:
    // its reference counting is the object's.
    class EventsPoint final : public IConnectionPoint {
    public:
        explicit EventsPoint(MatrixObject& owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
        ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** result) override;
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** result) override;

    private:
        MatrixObject& owner_;
    };

    template <class Body>
    HRESULT Guard(Body&& body);
    HRESULT LuCommon(bool hidden, IMatrixDual** l, IMatrixDual** U, VARIANT* PermIndex, long* PermSign);
    HRESULT CholeskyCommon(bool hidden, IMatrixDual** l);
    HRESULT Rearrange(bool rows, VARIANT* PermIndex);
    void ConnectForwarder();
    void DisconnectForwarder();

    LONG refs_ = 1;
    MatrixPtr matrix_;
    EventsPoint point_;
    struct Sink {
        DWORD cookie;
        IDispatch* sink;
    };
    std::vector<Sink> sinks_;
    DWORD nextCookie_ = 1;
    class Forwarder;
    std::shared_ptr<Forwarder> forwarder_;
    kestrim::Matrix::Cookie forwarderCookie_ = 0;
};

}  // namespace kestrim::automation
