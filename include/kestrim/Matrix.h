// Matrix: a rectangular matrix of Doubles with arithmetic, tests,
// decompositions, solvers and eigenanalysis.
//
// Objects have identity and are shared by reference: create them with
// Matrix::New() (or std::make_shared<Matrix>()). Operations that produce a
// matrix return a new object owned by the caller; a cancelled operation
// returns an empty reference (nullptr). The decompositions write into
// objects that the caller passes as optional by-reference outputs: a null
// pointer (omitted) or a pointer to an empty reference means "not wanted".
//
// Indices are zero-based. Failures raise kestrim::Error (see Error.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kestrim/DoubleArray.h"
#include "kestrim/Error.h"
#include "kestrim/MatrixEvents.h"
#include "kestrim/Variant.h"

namespace kestrim {

class Matrix;
using MatrixPtr = std::shared_ptr<Matrix>;

namespace detail {
struct MatrixAccess;
}

class Matrix : public std::enable_shared_from_this<Matrix> {
public:
    Matrix() = default;
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
    ~Matrix() = default;

    // Every public member raises only kestrim::Error (or an event
    // handler's own exception): storage that cannot be obtained is the
    // runtime's out-of-memory error.
    static MatrixPtr New();

    // ---- Dimensions, elements, events switch --------------------------
    bool FireEvents() const noexcept { return EventsEnabled; }
    void SetFireEvents(bool Status) noexcept { EventsEnabled = Status; }
    int32_t MaxSize() const noexcept { return 2147483647; }
    int32_t Rows() const noexcept { return LastRow + 1; }
    void SetRows(int32_t NumOfRows);
    int32_t Cols() const noexcept { return LastCol + 1; }
    void SetCols(int32_t NumOfCols);
    void Size(int32_t NumOfRows, int32_t NumOfCols);
    double Item(int32_t RowIndex, int32_t ColIndex) const;
    void SetItem(int32_t RowIndex, int32_t ColIndex, double vData);

    // ---- Array exchange and cloning -----------------------------------
    DoubleArray AsArray() const;
    void SetAsArray(const Variant& vData);
    void SetAsArray(const DoubleArray& vData);
    MatrixPtr Clone() const;

    // ---- Text, version, random fill -----------------------------------
    std::string GetString(int16_t NumDecimalPlaces = 3,
                          const std::string& EndOfLineChars = "\r\n") const;
    std::string Version() const;
    void FillRandom(double LowLimit = 0, double HighLimit = 10, int16_t NumDecimalPlaces = 0);

    // ---- Elementwise and structural operations ------------------------
    MatrixPtr Transpose();
    MatrixPtr Plus(MatrixPtr MatrixToAdd);
    void PlusEquals(MatrixPtr Matrix2);
    MatrixPtr Minus(MatrixPtr MatrixToSubtract);
    void MinusEquals(MatrixPtr Matrix2);
    MatrixPtr TimesScalar(double Number);
    MatrixPtr Times(MatrixPtr Matrix2);
    bool IsSquare() const noexcept { return LastRow == LastCol; }
    bool IsSymmetric() const;
    bool IsEqualTo(MatrixPtr Matrix2, double MaxDifference = 1e-09);
    MatrixPtr Normalize(double* NormValue = nullptr);
    void NormalizeMe(double* NormValue = nullptr);
    MatrixPtr RowVector(int32_t RowIndex);
    MatrixPtr ColVector(int32_t ColIndex);
    void RearrangeRows(Variant& PermIndex);
    void RearrangeCols(Variant& PermIndex);

    // ---- LU and linear systems ----------------------------------------
    void LU(MatrixPtr* l = nullptr, MatrixPtr* U = nullptr, Variant* PermIndex = nullptr,
            int32_t* PermSign = nullptr);
    void LUdc(MatrixPtr* l = nullptr, MatrixPtr* U = nullptr, Variant* PermIndex = nullptr,
              int32_t* PermSign = nullptr);
    double Determinant();
    MatrixPtr Inverse();
    MatrixPtr Solve(MatrixPtr RightHandTerms);
    MatrixPtr SolveGauss(MatrixPtr RightHandSide);
    void Cholesky(MatrixPtr* l = nullptr);
    void CHOLdc(MatrixPtr* l = nullptr);

    // ---- Orthogonal decompositions ------------------------------------
    void QR(MatrixPtr* Q = nullptr, MatrixPtr* R = nullptr);
    void SVD(MatrixPtr* U = nullptr, MatrixPtr* S = nullptr, MatrixPtr* V = nullptr);

    // ---- Eigenanalysis --------------------------------------------------
    void Eigen(MatrixPtr* RealValues = nullptr, MatrixPtr* ImagValues = nullptr,
               MatrixPtr* RealVectors = nullptr, MatrixPtr* ImagVectors = nullptr);

    // ---- Event handlers -------------------------------------------------
    // Handlers are called in connection order. A handler may disconnect
    // itself (or others) during an event; a disconnected handler receives
    // no further call, not even later in the same event.
    using Cookie = uint32_t;
    Cookie Connect(std::shared_ptr<MatrixEvents> handler);
    void Disconnect(Cookie cookie);

private:
    friend struct detail::MatrixAccess;

    // Raises the runtime's subscript error unless Elements has storage.
    void RequireStorage() const;
    // Raises OnProgress to every handler; returns the operation's Cancel
    // flag afterwards. Tests for pending arithmetic faults first.
    bool RaiseOnProgress(const char* Operation, double Percent, bool& Cancel);
    void RaiseDone(const char* Operation);

    // Fields of the object, as documented: Elements is column-major,
    // element (r, c) at c * (LastRow + 1) + r.
    DoubleArray Elements;
    int32_t LastRow = 0;
    bool RowsSet = false;
    int32_t LastCol = 0;
    bool ColsSet = false;
    bool EventsEnabled = false;

    std::vector<std::pair<Cookie, std::shared_ptr<MatrixEvents>>> handlers_;
    Cookie nextCookie_ = 1;
};

}  // namespace kestrim
