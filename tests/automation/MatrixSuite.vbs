' Script-host suite for the KestrimMatrixLib.Matrix automation server.
' Run with: cscript //nologo MatrixSuite.vbs
' The last line is "N passed, N failed"; anything else (a syntax error, an
' uncaught error) leaves it out, which the caller treats as a failure.
Option Explicit

Const ProgId = "KestrimMatrixLib.Matrix"
Dim passed, failed
passed = 0
failed = 0

Sub Check(condition, what)
    If condition Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

Function NewMatrix()
    Set NewMatrix = CreateObject(ProgId)
End Function

' A matrix from an array of rows.
Function FromRows(rows)
    Dim m, i, j
    Set m = NewMatrix()
    m.Size UBound(rows) + 1, UBound(rows(0)) + 1
    For i = 0 To UBound(rows)
        For j = 0 To UBound(rows(0))
            m(i, j) = rows(i)(j)
        Next
    Next
    Set FromRows = m
End Function

' True when m has exactly the dimensions and (within tol) the elements of rows.
Function Matches(m, rows, tol)
    Dim i, j
    Matches = False
    If m Is Nothing Then Exit Function
    If m.Rows <> UBound(rows) + 1 Or m.Cols <> UBound(rows(0)) + 1 Then Exit Function
    For i = 0 To UBound(rows)
        For j = 0 To UBound(rows(0))
            If Abs(m(i, j) - rows(i)(j)) > tol Then Exit Function
        Next
    Next
    Matches = True
End Function

' Largest |(A*B)(i,j) - C(i,j)| computed here from the elements, without
' the server's product.
Function ProductError(a, b, c)
    Dim i, j, k, s, worst
    worst = 0
    For i = 0 To a.Rows - 1
        For j = 0 To b.Cols - 1
            s = 0
            For k = 0 To a.Cols - 1
                s = s + a(i, k) * b(k, j)
            Next
            If Abs(s - c(i, j)) > worst Then worst = Abs(s - c(i, j))
        Next
    Next
    ProductError = worst
End Function

' Checks the error left in Err by the statement before it, then clears it.
Sub CheckMatrixError(code, helpContext, message, what)
    Dim expectedNumber, expectedDescription
    expectedNumber = CLng(-2147221504 + 1300 + code)
    expectedDescription = "KestrimMatrixLib.Matrix Error Number: " & (1300 + code) & vbCr & vbCr & message
    Check Err.Number = expectedNumber, what & ": Number " & Err.Number & " <> " & expectedNumber
    Check Err.Description = expectedDescription, what & ": Description """ & Err.Description & """"
    Check Right(Err.HelpFile, 16) = "/KTMatrixLib.CHM", what & ": HelpFile """ & Err.HelpFile & """"
    Check Err.HelpContext = helpContext, what & ": HelpContext " & Err.HelpContext
    Check Err.Source = ProgId, what & ": Source """ & Err.Source & """"
    Err.Clear
End Sub

Sub CheckRuntimeError(number, what)
    Check Err.Number = number, what & ": runtime error " & Err.Number & " <> " & number
    Err.Clear
End Sub

' ---- A new object, dimensions, elements ---------------------------------

Sub TestNewObject()
    Dim m
    Set m = NewMatrix()
    Check m.Rows = 1 And m.Cols = 1, "a new matrix reports 1 x 1"
    Check m.FireEvents = False, "FireEvents starts false"
    Check m.MaxSize = 2147483647, "MaxSize"
    Check m.Version = "2.1.435", "Version"
    Check m.GetString = "Not initialized", "GetString of a new matrix"
    m.FireEvents = True
    Check m.FireEvents = True, "FireEvents let/get"
    m.FireEvents = False
    Check m.FireEvents = False, "FireEvents back to false"
End Sub

Sub TestDimensionsAndItems()
    Dim m
    Set m = NewMatrix()
    m.Size 2, 3
    Check m.Rows = 2 And m.Cols = 3, "Size(2, 3)"
    ' The default member reads and writes elements.
    m(0, 0) = 1.5
    m.Item(1, 2) = -4
    Check m.Item(0, 0) = 1.5 And m(1, 2) = -4 And m(1, 1) = 0, "Item and the default member agree"
    m.Cols = 4
    Check Matches(m, Array(Array(1.5, 0, 0, 0), Array(0, 0, -4, 0)), 0), "Cols keeps the surviving columns"
    m.Cols = 2
    Check Matches(m, Array(Array(1.5, 0), Array(0, 0)), 0), "Cols drops the columns beyond the new count"
    m(1, 1) = 9
    m.Rows = 2
    Check Matches(m, Array(Array(0, 0), Array(0, 0)), 0), "Rows clears the elements, even when unchanged"
    Set m = NewMatrix()
    m.Rows = 3
    m.Cols = 2
    Check m.Rows = 3 And m.Cols = 2 And m(2, 1) = 0, "Rows then Cols give a zero matrix"
End Sub

' ---- Errors: every code the script can reach ------------------------------

Sub TestErrors()
    Dim m, r, sq, wide, zero, b, p
    Set sq = FromRows(Array(Array(4, 2), Array(2, 3)))
    Set wide = FromRows(Array(Array(1, 2, 3), Array(4, 5, 6)))
    Set zero = FromRows(Array(Array(0, 0), Array(0, 0)))
    Set m = NewMatrix()
    On Error Resume Next

    m.Rows = 0
    CheckMatrixError 1, 1101, "Invalid number of rows.", "Rows = 0"
    m.Size 0, 5
    CheckMatrixError 1, 1103, "Invalid number of rows.", "Size(0, 5)"
    m.Cols = -1
    CheckMatrixError 2, 1102, "Invalid number of columns.", "Cols = -1"
    m.Size 5, 0
    CheckMatrixError 2, 1103, "Invalid number of columns.", "Size(5, 0)"
    Check m.Rows = 1 And m.Cols = 1, "rejected counts change nothing"

    sq.RearrangeRows 5
    CheckMatrixError 3, 1129, "Not an array.", "RearrangeRows with a scalar"
    sq.RearrangeCols "x"
    CheckMatrixError 3, 1130, "Not an array.", "RearrangeCols with text"

    Set r = wide.Inverse
    CheckMatrixError 5, 1108, "This operation is possible only for a square Matrix.", "Inverse of 2 x 3"
    wide.LU
    CheckMatrixError 5, 1127, "This operation is possible only for a square Matrix.", "LU of 2 x 3"
    wide.LUdc
    CheckMatrixError 5, 1127, "This operation is possible only for a square Matrix.", "LUdc of 2 x 3"
    wide.Cholesky
    CheckMatrixError 5, 1128, "This operation is possible only for a square Matrix.", "Cholesky of 2 x 3"
    wide.CHOLdc
    CheckMatrixError 5, 1128, "This operation is possible only for a square Matrix.", "CHOLdc of 2 x 3"

    Set r = zero.Inverse
    CheckMatrixError 6, 1108, "Matrix can not be inverted.", "Inverse of a zero matrix"
    Set r = wide.Times((wide))
    CheckMatrixError 7, 1114, "Matrix multiplication not possible.", "Times 2 x 3 by 2 x 3"
    r = wide.Determinant
    CheckMatrixError 8, 1116, "Determinant can be calculated only for a square matrix.", "Determinant of 2 x 3"

    Set b = FromRows(Array(Array(1), Array(2)))
    Set r = wide.Solve((b))
    CheckMatrixError 9, 1117, "Not as square Matrix. System of equations can not be solved.", "Solve on 2 x 3"
    Set r = wide.SolveGauss((b))
    CheckMatrixError 9, 1118, "Not a square Matrix. System of equations can not be solved.", "SolveGauss on 2 x 3"
    Set r = zero.Solve((b))
    CheckMatrixError 10, 1117, "System of equations can not be solved.", "Solve with a zero matrix"
    Set r = zero.SolveGauss((b))
    CheckMatrixError 10, 1118, "System of equations can not be solved.", "SolveGauss with a zero matrix"
    Set r = sq.Solve((wide))
    CheckMatrixError 11, 1117, "Right hand side matrix is not sized correctly.", "Solve with a 2 x 3 right side"
    Set r = sq.SolveGauss(FromRows(Array(Array(1), Array(2), Array(3))))
    CheckMatrixError 11, 1118, "Right hand side matrix is not sized correctly.", "SolveGauss with a 3 x 1 right side"

    Set r = sq.Plus((wide))
    CheckMatrixError 12, 1110, "Matrices do not have the same size.", "Plus"
    sq.PlusEquals (wide)
    CheckMatrixError 12, 1111, "Matrices do not have the same size.", "PlusEquals"
    Set r = sq.Minus((wide))
    CheckMatrixError 12, 1112, "Matrices do not have the same size.", "Minus"
    sq.MinusEquals (wide)
    CheckMatrixError 12, 1113, "Matrices do not have the same size.", "MinusEquals"
    Check Matches(sq, Array(Array(4, 2), Array(2, 3)), 0), "failed in-place sums leave the receiver"

    FromRows(Array(Array(1, 2), Array(0, 0))).LU
    CheckMatrixError 13, 1127, "Decomposition is not possible for a singular matrix.", "LU with a zero row"
    FromRows(Array(Array(1, 2), Array(3, 4))).Cholesky
    CheckMatrixError 14, 1128, "Not a symmetric positive definite matrix.", "Cholesky of an asymmetric matrix"
    NewMatrix().QR
    CheckMatrixError 15, 1131, "An error occurred during QR.", "QR without elements"
    NewMatrix().SVD
    CheckMatrixError 16, 1132, "An error occurred during SVD.", "SVD without elements"
    FromRows(Array(Array(-1, 0, 0, 2), Array(0, -1, 1, 0), Array(1, 0, 2, 0), Array(2, -2, 0, 2))).Eigen
    CheckMatrixError 17, 1137, "An error occurred during Eigen.", "Eigen that does not converge"
    wide.QR
    CheckMatrixError 18, 1131, "Number of rows must be greater or equal to number of columns.", "QR of 2 x 3"

    r = sq(2, 0)
    CheckMatrixError 19, 1105, "Row index exceeds matrix size.", "Item get, row 2 of 2"
    sq(-1, -1) = 1
    CheckMatrixError 19, 1105, "Row index exceeds matrix size.", "Item let, row -1"
    Set r = sq.RowVector(2)
    CheckMatrixError 19, 1138, "Row index exceeds matrix size.", "RowVector(2)"
    r = sq(0, 2)
    CheckMatrixError 20, 1105, "Column index exceeds matrix size.", "Item get, column 2 of 2"
    Set r = sq.ColVector(2)
    CheckMatrixError 20, 1139, "Column index exceeds matrix size.", "ColVector(2)"

    ' Errors of the runtime pass through with their own numbers.
    Set r = sq.Plus(Nothing)
    CheckRuntimeError 91, "Plus(Nothing)"
    Set r = FromRows(Array(Array(1E308))).Plus(FromRows(Array(Array(1E308))))
    CheckRuntimeError 6, "Plus overflowing"
    p = Array(1, "abc")
    FromRows(Array(Array(1), Array(2))).RearrangeRows p
    CheckRuntimeError 13, "RearrangeRows with text in the index"
    Set r = sq.Plus(CreateObject("Scripting.Dictionary"))
    CheckRuntimeError 13, "Plus with an object of another class"
    On Error GoTo 0
End Sub

' ---- Arrays and cloning ------------------------------------------------------

Sub TestArraysAndClone()
    Dim a, b, c
    Set a = FromRows(Array(Array(1, 2, 3), Array(4, 5, 6)))
    Check VarType(a.AsArray) = vbArray + vbDouble, "AsArray gives an array of Double"
    Set b = NewMatrix()
    b.AsArray = a.AsArray
    Check Matches(b, Array(Array(1, 2, 3), Array(4, 5, 6)), 0), "AsArray get then let copies the matrix"
    b(0, 0) = 100
    Check a(0, 0) = 1, "the copy is independent"
    a.FireEvents = True
    Set c = a.Clone
    Check Matches(c, Array(Array(1, 2, 3), Array(4, 5, 6)), 0), "Clone copies the elements"
    Check c.FireEvents = False, "a clone starts with FireEvents false"
    c(1, 2) = -6
    Check a(1, 2) = 6, "changing the clone leaves the original"
End Sub

' ---- Elementwise, product, comparisons, text ------------------------------

Sub TestOperations()
    Dim a, b, r, x
    Set a = FromRows(Array(Array(1, 2), Array(3, 4)))
    Set b = FromRows(Array(Array(5, 6), Array(7, 8)))
    Check Matches(a.Plus((b)), Array(Array(6, 8), Array(10, 12)), 0), "Plus"
    Check Matches(a.Minus((b)), Array(Array(-4, -4), Array(-4, -4)), 0), "Minus"
    Check Matches(a.Times((b)), Array(Array(19, 22), Array(43, 50)), 0), "Times"
    Check Matches(a.TimesScalar(2.5), Array(Array(2.5, 5), Array(7.5, 10)), 0), "TimesScalar"
    Check Matches(a.Transpose, Array(Array(1, 3), Array(2, 4)), 0), "Transpose"
    Set r = a.Clone
    r.PlusEquals (b)
    Check Matches(r, Array(Array(6, 8), Array(10, 12)), 0), "PlusEquals"
    r.MinusEquals (b)
    Check Matches(r, Array(Array(1, 2), Array(3, 4)), 0), "MinusEquals"
    ' The receiver may be its own argument.
    r.PlusEquals (r)
    Check Matches(r, Array(Array(2, 4), Array(6, 8)), 0), "PlusEquals with itself"

    Check a.Determinant = -2, "Determinant"
    Check Matches(a.Inverse, Array(Array(-2, 1), Array(1.5, -0.5)), 1E-12), "Inverse"
    Set x = FromRows(Array(Array(5), Array(6)))
    Check Matches(a.Solve((x)), Array(Array(-4), Array(4.5)), 1E-12), "Solve"
    Check Matches(a.SolveGauss((x)), Array(Array(-4), Array(4.5)), 1E-12), "SolveGauss"

    Check a.IsSquare = True And FromRows(Array(Array(1, 2))).IsSquare = False, "IsSquare"
    Check a.IsSymmetric = False And FromRows(Array(Array(1, 2), Array(2, 1))).IsSymmetric = True, "IsSymmetric"
    Check a.IsEqualTo((a.Clone)) = True, "IsEqualTo itself"

    Set r = FromRows(Array(Array(2, -8), Array(4, 1)))
    Check Matches(r.Normalize, Array(Array(-0.25, 1), Array(-0.5, -0.125)), 0), "Normalize, value omitted"
    r.NormalizeMe
    Check Matches(r, Array(Array(-0.25, 1), Array(-0.5, -0.125)), 0), "NormalizeMe, value omitted"

    Check Matches(a.RowVector(1), Array(Array(3, 4)), 0), "RowVector"
    Check Matches(a.ColVector(0), Array(Array(1), Array(3)), 0), "ColVector"

    ' RearrangeRows moves row i to position p(i) and leaves the identity.
    Dim p
    Set r = FromRows(Array(Array(10), Array(11), Array(12)))
    p = Array(1, 2, 0)
    r.RearrangeRows p
    Check Matches(r, Array(Array(12), Array(10), Array(11)), 0), "RearrangeRows (1, 2, 0)"
    Check p(0) = 0 And p(1) = 1 And p(2) = 2, "RearrangeRows updates the index in place"
    Set r = FromRows(Array(Array(1, 2, 3), Array(4, 5, 6)))
    p = Array(1, 0)
    r.RearrangeCols p
    Check Matches(r, Array(Array(2, 1, 3), Array(5, 4, 6)), 0), "RearrangeCols (1, 0)"
End Sub

' ---- Omitted optional arguments take their defaults -----------------------

Sub TestDefaults()
    Dim m, i, j, v, allIntegral, inRange, distinct
    Set m = FromRows(Array(Array(1, -2.5), Array(10, 0)))
    Check m.GetString = "|  1.000 -2.500 |" & vbCrLf & "| 10.000  0.000 |" & vbCrLf, "GetString()"
    Check m.GetString(1) = "|  1.0 -2.5 |" & vbCrLf & "| 10.0  0.0 |" & vbCrLf, "GetString(1)"
    Check FromRows(Array(Array(1), Array(2))).GetString(0, "") = "| 1 || 2 |", "GetString(0, """")"

    ' FillRandom(): 0 to 10 and no decimals.
    Set m = NewMatrix()
    m.Size 20, 20
    m.FillRandom
    allIntegral = True
    inRange = True
    distinct = 0
    For i = 0 To 19
        For j = 0 To 19
            v = m(i, j)
            If v <> Int(v) Then allIntegral = False
            If v < 0 Or v > 10 Then inRange = False
            If v <> m(0, 0) Then distinct = distinct + 1
        Next
    Next
    Check allIntegral, "FillRandom() rounds to 0 decimals"
    Check inRange, "FillRandom() stays within 0 .. 10"
    Check distinct > 0, "FillRandom() gives varying values"
    ' Only the last argument omitted: limits as given, no decimals.
    m.FillRandom 100, 200
    Check m(3, 4) >= 100 And m(3, 4) <= 200 And m(3, 4) = Int(m(3, 4)), "FillRandom(100, 200)"

    ' IsEqualTo(m) uses a tolerance of 1e-09.
    Dim a, b
    Set a = FromRows(Array(Array(1, 2)))
    Set b = FromRows(Array(Array(1 + 5E-10, 2)))
    Check a.IsEqualTo((b)) = True, "IsEqualTo() within 1e-09"
    b(0, 0) = 1 + 2E-9
    Check a.IsEqualTo((b)) = False, "IsEqualTo() beyond 1e-09"
    Check a.IsEqualTo((b), 1E-8) = True, "IsEqualTo with an explicit tolerance"
End Sub

' ---- Decompositions, with outputs given and omitted -----------------------

Sub TestDecompositions()
    Dim a, l, u, p, q, r, s, v, wr, wi, vr, vi
    Set a = FromRows(Array(Array(1, 2), Array(2, 4)))
    Set l = NewMatrix()
    Set u = NewMatrix()
    a.LU (l), (u), p
    Check Matches(l, Array(Array(1, 0), Array(0.5, 1)), 0), "LU: L"
    Check Matches(u, Array(Array(2, 4), Array(0, 1E-20)), 0), "LU: U"
    Check IsArray(p), "LU: PermIndex is an array"
    If IsArray(p) Then Check UBound(p) = 1 And p(0) = 1 And p(1) = 0, "LU: PermIndex"
    Set l = NewMatrix()
    a.LUdc (l)
    Check Matches(l, Array(Array(1, 0), Array(0.5, 1)), 0), "LUdc: L"
    a.LU
    a.LUdc
    Check Matches(a, Array(Array(1, 2), Array(2, 4)), 0), "LU and LUdc with every output omitted"
    Set u = NewMatrix()
    a.LU , (u)
    Check Matches(u, Array(Array(2, 4), Array(0, 1E-20)), 0), "LU with L omitted"
    p = Empty
    a.LU , , p
    Check IsArray(p), "LU with only PermIndex"

    Set a = FromRows(Array(Array(4, 2), Array(2, 3)))
    Set l = NewMatrix()
    a.Cholesky (l)
    Check Matches(l, Array(Array(2, 0), Array(1, Sqr(2))), 1E-15), "Cholesky"
    Set l = NewMatrix()
    a.CHOLdc (l)
    Check Matches(l, Array(Array(2, 0), Array(1, Sqr(2))), 1E-15), "CHOLdc"
    a.Cholesky
    a.CHOLdc
    Check Matches(a, Array(Array(4, 2), Array(2, 3)), 0), "Cholesky with the factor omitted"

    Set a = FromRows(Array(Array(1, 2), Array(3, 4), Array(5, 7)))
    Set q = NewMatrix()
    Set r = NewMatrix()
    a.QR (q), (r)
    Check q.Rows = 3 And q.Cols = 2 And r.Rows = 2 And r.Cols = 2, "QR: shapes"
    Check ProductError(q, r, a) < 1E-12, "QR: Q R = A"
    Check Abs(r(1, 0)) = 0, "QR: R is upper triangular"
    a.QR
    Set r = NewMatrix()
    a.QR , (r)
    Check r.Rows = 2 And r.Cols = 2, "QR with Q omitted"

    Set u = NewMatrix()
    Set s = NewMatrix()
    Set v = NewMatrix()
    a.SVD (u), (s), (v)
    Check ProductError(u, s, u.Times((s))) = 0, "SVD: U S by hand equals Times"
    Check ProductError(u.Times((s)), v.Transpose, a) < 1E-12, "SVD: U S V' = A"
    a.SVD
    Set s = NewMatrix()
    a.SVD , (s)
    Check s.Rows = 2 And s.Cols = 2 And s(0, 1) = 0, "SVD with U and V omitted"

    Set a = FromRows(Array(Array(2, 1), Array(1, 2)))
    Set wr = NewMatrix()
    Set wi = NewMatrix()
    Set vr = NewMatrix()
    Set vi = NewMatrix()
    a.Eigen (wr), (wi), (vr), (vi)
    Check Abs(wr(0, 0) + wr(1, 0) - 4) < 1E-12 And Abs(wr(0, 0) * wr(1, 0) - 3) < 1E-12, "Eigen: values 1 and 3"
    Check Abs(wi(0, 0)) + Abs(wi(1, 0)) = 0, "Eigen: no imaginary parts"
    Check ProductError(a, vr, vr.Times(FromRows(Array(Array(wr(0, 0), 0), Array(0, wr(1, 0)))))) < 1E-12, _
          "Eigen: A V = V diag(values)"
    a.Eigen
    Set wr = NewMatrix()
    a.Eigen (wr)
    Check wr.Rows = 2, "Eigen with only RealValues"
    Set vi = NewMatrix()
    a.Eigen , , , (vi)
    Check vi.Rows = 2, "Eigen with only ImagVectors"
End Sub

TestNewObject
TestDimensionsAndItems
TestErrors
TestArraysAndClone
TestOperations
TestDefaults
TestDecompositions
WScript.Echo passed & " passed, " & failed & " failed"
