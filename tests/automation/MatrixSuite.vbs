' Script-host suite for KestrimMatrixLib.Matrix: cscript //nologo MatrixSuite.vbs
' The last line is "N passed, N failed"; an uncaught error leaves it out.
Option Explicit
Dim passed, failed, r, p
passed = 0 : failed = 0

Sub Check(condition, what)
    If condition Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

Function M(rows)  ' a matrix from an array of rows
    Dim i, j, x
    Set x = CreateObject("KestrimMatrixLib.Matrix")
    x.Size UBound(rows) + 1, UBound(rows(0)) + 1
    For i = 0 To UBound(rows) : For j = 0 To UBound(rows(0)) : x(i, j) = rows(i)(j) : Next : Next
    Set M = x
End Function

Function Matches(a, rows, tol)
    Dim i, j
    Matches = a.Rows = UBound(rows) + 1 And a.Cols = UBound(rows(0)) + 1
    If Not Matches Then Exit Function
    For i = 0 To UBound(rows) : For j = 0 To UBound(rows(0)) : Matches = Matches And Abs(a(i, j) - rows(i)(j)) <= tol : Next : Next
End Function

' Checks the error record the statement before left, then clears it.
Sub E(code, helpContext, message)
    Dim d
    d = "KestrimMatrixLib.Matrix Error Number: " & (1300 + code) & vbCr & vbCr & message
    Check Err.Number = CLng(-2147221504 + 1300 + code) And Err.HelpContext = helpContext And Err.Description = d And _
          Err.Source = "KestrimMatrixLib.Matrix" And Right(Err.HelpFile, 16) = "/KTMatrixLib.CHM", _
          d & ": " & Err.Number & " " & Err.HelpContext & " " & Err.Description & " " & Err.Source & " " & Err.HelpFile
    Err.Clear
End Sub

' Checks a runtime error number, then clears it.
Sub RT(number)
    Check Err.Number = number, "runtime error " & number & ": " & Err.Number
    Err.Clear
End Sub

Sub TestErrors()
    Dim a, sq, wide, zero
    Set a = CreateObject("KestrimMatrixLib.Matrix")
    Set sq = M(Array(Array(4, 2), Array(2, 3)))
    Set wide = M(Array(Array(1, 2, 3), Array(4, 5, 6)))
    Set zero = M(Array(Array(0, 0), Array(0, 0)))
    On Error Resume Next
    a.Size 0, 5 : E 1, 1103, "Invalid number of rows."
    sq.RearrangeCols "x" : E 3, 1130, "Not an array."
    wide.CHOLdc : E 5, 1128, "This operation is possible only for a square Matrix."
    Set r = zero.Inverse : E 6, 1108, "Matrix can not be inverted."
    r = wide.Determinant : E 8, 1116, "Determinant can be calculated only for a square matrix."
    Set r = sq.SolveGauss((wide)) : E 11, 1118, "Right hand side matrix is not sized correctly."
    sq.MinusEquals (wide) : E 12, 1113, "Matrices do not have the same size."
    Check Matches(sq, Array(Array(4, 2), Array(2, 3)), 0), "a failed in-place sum leaves the receiver"
    M(Array(Array(1, 2), Array(0, 0))).LU : E 13, 1127, "Decomposition is not possible for a singular matrix."
    CreateObject("KestrimMatrixLib.Matrix").QR : E 15, 1131, "An error occurred during QR."
    M(Array(Array(-1, 0, 0, 2), Array(0, -1, 1, 0), Array(1, 0, 2, 0), Array(2, -2, 0, 2))).Eigen : E 17, 1137, "An error occurred during Eigen."
    wide.QR : E 18, 1131, "Number of rows must be greater or equal to number of columns."
    sq(-1, -1) = 1 : E 19, 1105, "Row index exceeds matrix size."
    Set r = sq.ColVector(2) : E 20, 1139, "Column index exceeds matrix size."
    Set r = sq.Plus(Nothing) : RT 91
    Set r = sq.Plus(CreateObject("Scripting.Dictionary")) : RT 13
    On Error GoTo 0
End Sub

Sub TestObject()
    Dim a, c, l, u, s, v
    Set a = CreateObject("KestrimMatrixLib.Matrix")
    Check a.Rows = 1 And a.Cols = 1 And a.FireEvents = False And a.MaxSize = 2147483647 And a.Version = "2.1.435" _
          And a.GetString = "Not initialized", "a new object"
    a.Size 2, 3 : a(0, 0) = 1.5 : a.Item(1, 2) = -4 : a.Cols = 4
    Check Matches(a, Array(Array(1.5, 0, 0, 0), Array(0, 0, -4, 0)), 0), "Item, the default member, Cols"
    a.AsArray = M(Array(Array(1, 2, 3), Array(4, 5, 6))).AsArray : a.FireEvents = True
    Set c = a.Clone
    c(1, 2) = -6
    Check VarType(a.AsArray) = vbArray + vbDouble And c.FireEvents = False And a(1, 2) = 6 And _
          Matches(c, Array(Array(1, 2, 3), Array(4, 5, -6)), 0), "AsArray get and let, Clone"
    Set a = M(Array(Array(1, -2.5), Array(10, 0)))
    Check a.GetString(1) = "|  1.0 -2.5 |" & vbCrLf & "| 10.0  0.0 |" & vbCrLf, "GetString(1) ends lines with CR LF"
    Set a = M(Array(Array(10), Array(11), Array(12)))
    p = Array(1, 2, 0)
    a.RearrangeRows p
    Check Matches(a, Array(Array(12), Array(10), Array(11)), 0) And p(0) = 0 And p(2) = 2, "RearrangeRows updates p"
    ' Decompositions with outputs given, by reference, and left out.
    Set a = M(Array(Array(1, 2), Array(2, 4)))
    Set l = M(Array(Array(0))) : Set u = M(Array(Array(0)))
    a.LU (l), (u), p
    Check Matches(l, Array(Array(1, 0), Array(0.5, 1)), 0) And Matches(u, Array(Array(2, 4), Array(0, 1E-20)), 0), "LU: L and U"
    Check IsArray(p), "LU: PermIndex is an array"
    If IsArray(p) Then Check UBound(p) = 1 And p(0) = 1 And p(1) = 0, "LU: PermIndex (1, 0)"
    Set a = M(Array(Array(1, 2), Array(3, 4), Array(5, 7)))
    Set u = M(Array(Array(0))) : Set s = M(Array(Array(0))) : Set v = M(Array(Array(0)))
    a.SVD (u), (s), (v)
    Check Matches(u.Times((s)).Times(v.Transpose), Array(Array(1, 2), Array(3, 4), Array(5, 7)), 1E-12), "SVD: U S V' = A"
End Sub

TestErrors
TestObject
WScript.Echo passed & " passed, " & failed & " failed"
