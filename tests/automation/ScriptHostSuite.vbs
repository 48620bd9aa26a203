' Calls made the way scripts make them: outputs in parentheses (by value),
' temporaries, Nothing, Empty, Null, omitted, the receiver itself and one
' variable in two places, on success and on every failure; then many more
' calls on the same variables, where heap damage would show. Then every
' decomposition after script lines that leave the floating-point flags set.
' cscript //nologo ScriptHostSuite.vbs; the last line is "N passed, N failed".
Option Explicit
Dim passed, failed
passed = 0 : failed = 0

Sub Check(condition, what)
    If condition Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

Function M(rows)
    Dim i, j, x
    Set x = CreateObject("KestrimMatrixLib.Matrix")
    x.Size UBound(rows) + 1, UBound(rows(0)) + 1
    For i = 0 To UBound(rows) : For j = 0 To UBound(rows(0)) : x(i, j) = rows(i)(j) : Next : Next
    Set M = x
End Function

Function Sized(r, c)
    Set Sized = CreateObject("KestrimMatrixLib.Matrix") : Sized.Size r, c
End Function

' Same dimensions and the very same elements.
Function Same(a, b)
    Dim i, j
    Same = False
    If Not (IsObject(a) And IsObject(b)) Then Exit Function
    If a Is Nothing Or b Is Nothing Then Exit Function
    If a.Rows <> b.Rows Or a.Cols <> b.Cols Then Exit Function
    For i = 0 To a.Rows - 1 : For j = 0 To a.Cols - 1
        If a(i, j) <> b(i, j) Then Exit Function
    Next : Next
    Same = True
End Function

' The error the last statement raised: its number, then clears it.
Function Raised()
    Raised = Err.Number : Err.Clear
End Function

Function Code(n)
    Code = CLng(-2147221504 + 1300 + n)
End Function

Function Alive(x)
    Alive = IsObject(x)
    If Alive Then Alive = Not x Is Nothing
End Function

' Works every variable hard, so that a reference count gone wrong earlier
' shows as a crash or a wrong number here.
Sub Exercise(vars, what)
    Dim k, x, t, ok
    ok = True
    For k = 1 To 40
        For Each x In vars
            If Alive(x) Then
                x.Size 3, 3 : x.FillRandom 1, 9 : x(0, 0) = 20 : x(1, 1) = 20 : x(2, 2) = 20
                Set t = x.Transpose.Times(x)
                t.Cholesky x
                ok = ok And Alive(x) And x.Rows = 3
                Set t = x.Plus(x.Clone).Inverse
                ok = ok And t.Rows = 3
            End If
        Next
    Next
    Check ok, what & ": the variables keep working"
End Sub

Sub TestOutputs()
    Dim a, notSpd, wide, sing, huge, l, u, q, r, s, v, w, p, sign, e1, e2, e3, e4, nv
    Set a = M(Array(Array(4, 2, 1), Array(2, 5, 3), Array(1, 3, 6)))
    Set notSpd = M(Array(Array(-4)))
    Set wide = M(Array(Array(1, 2, 3), Array(4, 5, 6)))
    Set sing = M(Array(Array(1, 2), Array(2, 4)))
    Set huge = M(Array(Array(1E+308, 1E+308), Array(1E+308, 1E+308)))
    Set l = Sized(2, 2) : Set u = Sized(2, 2)
    On Error Resume Next

    ' The issue's own sequence: a failing Cholesky twice, output by value.
    notSpd.Cholesky (l) : Check Raised() = Code(14), "Cholesky (l) fails"
    notSpd.Cholesky (l) : Check Raised() = Code(14), "Cholesky (l) fails again"
    Check Alive(l), "an output by value keeps its object"
    Call notSpd.Cholesky((l)) : Check Raised() = Code(14) And Alive(l), "Call Cholesky((l))"
    notSpd.Cholesky CreateObject("KestrimMatrixLib.Matrix") : Check Raised() = Code(14), "Cholesky of a temporary"
    notSpd.Cholesky Nothing : Check Raised() = Code(14), "Cholesky Nothing"
    notSpd.Cholesky Empty : Check Raised() = Code(14), "Cholesky Empty"
    notSpd.Cholesky Null : Check Raised() = Code(14), "Cholesky Null"
    notSpd.Cholesky : Check Raised() = Code(14), "Cholesky omitted"
    wide.Cholesky (l) : Check Raised() = Code(5) And Alive(l), "Cholesky of a wide matrix, by value"
    a.Cholesky (l) : Check Raised() = 0 And l.Rows = 3 And l(2, 0) = 0.5, "Cholesky (l) fills the object"
    ' By reference the failure empties the caller's variable.
    Set w = Sized(1, 1)
    notSpd.Cholesky w : Check Raised() = Code(14) And Not Alive(w), "Cholesky w empties w"
    Set w = notSpd.Clone
    w.Cholesky w : Check Raised() = Code(14) And Not Alive(w), "the receiver as its own output, by reference"
    Set w = notSpd.Clone
    w.Cholesky (w) : Check Raised() = Code(14) And Alive(w), "the receiver as its own output, by value"
    Check w.Rows = 1 And w(0, 0) = -4, "the receiver is unchanged"
    Set w = a.Clone
    w.Cholesky w : Check Raised() = 0 And Alive(w) And w(0, 1) = 0, "w.Cholesky w succeeds in place"
    Exercise Array(l, u, w), "after Cholesky"

    ' LU: success and its two failures, by value and by reference.
    Set l = Sized(1, 1) : Set u = Sized(1, 1)
    a.LU (l), (u), (p), (sign) : Check Raised() = 0 And l.Rows = 3 And u.Rows = 3 And IsEmpty(p), "LU by value"
    a.LU l, u, p, sign : Check Raised() = 0 And IsArray(p) And l.Rows = 3 And u(2, 0) = 0, "LU by reference"
    Check UBound(p) = 2 And (sign = 1 Or sign = -1), "LU hands back PermIndex and PermSign"
    Set sing = M(Array(Array(1, 2), Array(0, 0)))
    sing.LU (l), (u), (p), (sign) : Check Raised() = Code(13) And Alive(l) And Alive(u), "LU of a singular matrix, by value"
    sing.LU l, u, p, sign : Check Raised() = Code(13) And Alive(l) And Alive(u), "LU of a singular matrix, by reference"
    wide.LU l, u : Check Raised() = Code(5) And Alive(l), "LU of a wide matrix"
    a.LU l, l : Check Raised() = 0 And l.Rows = 3, "LU with one variable for L and U"
    a.LU a.Clone, Nothing, Empty : Check Raised() = 0, "LU with a temporary, Nothing and Empty"
    Set w = a.Clone
    w.LU w, , p : Check Raised() = 0 And w.Rows = 3, "LU with the receiver as L"
    Exercise Array(l, u, w), "after LU"

    ' QR: success, rows < cols (18), a fault (15).
    Set q = Sized(1, 1) : Set r = Sized(1, 1)
    a.QR (q), (r) : Check Raised() = 0 And q.Rows = 3 And r.Cols = 3, "QR by value"
    wide.QR (q), (r) : Check Raised() = Code(18) And Alive(q) And Alive(r), "QR of a wide matrix, by value"
    wide.QR q, r : Check Raised() = Code(18) And Alive(q) And Alive(r), "QR of a wide matrix, by reference"
    huge.QR (q), (r) : Check Raised() = Code(15) And Alive(q), "QR fault, by value"
    huge.QR q, q : Check Raised() = Code(15) And Alive(q), "QR fault, one variable twice"
    a.QR CreateObject("KestrimMatrixLib.Matrix"), Null : Check Raised() = 0, "QR with a temporary and Null"
    Exercise Array(q, r), "after QR"

    ' SVD: success and a fault (16).
    Set s = Sized(1, 1) : Set v = Sized(1, 1)
    a.SVD (u), (s), (v) : Check Raised() = 0 And s.Rows = 3, "SVD by value"
    huge.SVD (u), (s), (v) : Check Raised() = Code(16) And Alive(u) And Alive(s) And Alive(v), "SVD fault, by value"
    huge.SVD u, s, v : Check Raised() = Code(16) And Alive(u) And Alive(s) And Alive(v), "SVD fault, by reference"
    Set w = a.Clone
    w.SVD w, (w), w : Check Raised() = 0 And Alive(w), "SVD with the receiver in every place"
    Exercise Array(u, s, v, w), "after SVD"

    ' Eigen: success, the iteration budget (17) and an arithmetic fault.
    Set e1 = Sized(1, 1) : Set e2 = Sized(1, 1) : Set e3 = Sized(1, 1) : Set e4 = Sized(1, 1)
    a.Eigen (e1), (e2), (e3), (e4) : Check Raised() = 0 And e1.Rows = 3 And e3.Cols = 3, "Eigen by value"
    Set w = M(Array(Array(-1, 0, 0, 2), Array(0, -1, 1, 0), Array(1, 0, 2, 0), Array(2, -2, 0, 2)))
    w.Eigen (e1), (e2), (e3), (e4) : Check Raised() = Code(17) And Alive(e1) And Alive(e4), "Eigen 17, by value"
    w.Eigen e1, e2, e3, e4 : Check Raised() = Code(17) And Alive(e1) And Alive(e4), "Eigen 17, by reference"
    M(Array(Array(1E+308, -1E+308), Array(1E+308, 1E+308))).Eigen (e1), e2 : Check Raised() <> 0 And Alive(e1), "Eigen fault"
    w.Eigen e1, e1, e1, e1 : Check Raised() = Code(17) And Alive(e1), "Eigen with one variable four times"
    Exercise Array(e1, e2, e3, e4, w), "after Eigen"

    ' RearrangeRows and RearrangeCols: success and their failures.
    Set w = M(Array(Array(1, 2), Array(3, 4)))
    p = Array(1, 0)
    w.RearrangeRows (p) : Check Raised() = 0 And w(0, 0) = 3, "RearrangeRows (p)"
    w.RearrangeCols p : Check Raised() = 0 And w(0, 0) = 4 And IsArray(p), "RearrangeCols p"
    w.RearrangeRows Array("x", 0) : Check Raised() = 13, "RearrangeRows of text: conversion error"
    w.RearrangeCols 5 : Check Raised() = Code(3), "RearrangeCols of a number"
    w.RearrangeRows Nothing : Check Raised() = Code(3), "RearrangeRows Nothing"
    w.RearrangeCols (Array("y", 1)) : Check Raised() = 13 And w.Rows = 2, "RearrangeCols of text, by value"
    Set w = M(Array(Array(1, 2), Array(3, 4)))
    p = Array(0.6, 0.4) : w.RearrangeRows p : Check Raised() = 0 And w(0, 0) = 3 And IsArray(p), "Double index entries round"
    Exercise Array(w), "after RearrangeRows"

    ' Normalize and NormalizeMe: success and the subnormal fault.
    Set w = M(Array(Array(2, 4), Array(1, 8)))
    nv = Empty
    w.NormalizeMe (nv) : Check Raised() = 0 And IsEmpty(nv) And w(1, 1) = 1, "NormalizeMe (nv) leaves nv"
    Set w = M(Array(Array(2, 4), Array(1, 8)))
    w.NormalizeMe nv : Check Raised() = 0 And nv = 8, "NormalizeMe nv receives the divisor"
    Set r = w.Normalize((nv)) : Check Raised() = 0 And nv = 8 And r(1, 1) = 1, "Normalize((nv))"
    Set w = M(Array(Array(1E-300 / 1E+10)))  ' subnormal
    nv = 5
    w.NormalizeMe nv : Check Raised() = 6 And nv = 5, "NormalizeMe of a subnormal: overflow, nv untouched"
    Set r = w.Normalize(nv) : Check Raised() = 6 And nv = 5, "Normalize of a subnormal"
    w.NormalizeMe : Check Raised() = 6, "NormalizeMe omitted"
    Exercise Array(w, r), "after Normalize"

    ' Long and Double inputs by value and as other types.
    Set w = a.RowVector((1)) : Check Raised() = 0 And w(0, 1) = 5, "RowVector((1))"
    Set w = a.ColVector("2") : Check Raised() = 0 And w(0, 0) = 1, "ColVector(""2"")"
    Set w = a.TimesScalar((2.5)) : Check Raised() = 0 And w(0, 0) = 10, "TimesScalar((2.5))"
    Set w = a.Plus((a)) : Check Raised() = 0 And w(0, 0) = 8, "Plus((a))"
    a.PlusEquals a : a.MinusEquals (a.Clone.TimesScalar(0.5)) : Check Raised() = 0 And a(0, 0) = 4, "PlusEquals a, MinusEquals a temporary"
    On Error GoTo 0
End Sub

' Every decomposition's outputs, for comparing runs.
Function Decompose(a, g)
    Dim o(14), k, p, sign
    For k = 0 To 12 : Set o(k) = CreateObject("KestrimMatrixLib.Matrix") : Next
    a.LU o(0), o(1), p, sign
    a.Cholesky o(2)
    a.QR o(3), o(4)
    a.SVD o(5), o(6), o(7)
    g.Eigen o(8), o(9), o(10), o(11)
    Set o(12) = a.Inverse.Times(g)
    o(13) = a.Determinant
    o(14) = p(0) & "," & p(1) & "," & p(2) & " " & sign
    Decompose = o
End Function

Sub TestStickyFlags()
    Dim a, g, clean, now, k, x, y, zero, lines, ok, i
    Set a = M(Array(Array(4, 1, 0.3), Array(1, 3, 0.125), Array(0.3, 0.125, 2)))
    Set g = M(Array(Array(0, -1, 0.2), Array(1, 0, 0.3), Array(0.1, 0.5, 2)))
    clean = Decompose(a, g)
    zero = 0
    lines = Array("underflow", "inexact", "division by zero", "overflow", "invalid")
    On Error Resume Next
    For Each k In lines
        Select Case k
            Case "underflow" : x = 1E-300 * 1E-300
            Case "inexact" : x = 1 / 3
            Case "division by zero" : x = 1 / zero
            Case "overflow" : x = 1E+300 * 1E+300
            Case "invalid" : y = 1E+300 * 1E+300 : x = y - y
        End Select
        Err.Clear
        now = Decompose(a, g)
        ok = Err.Number = 0
        Err.Clear
        For i = 0 To 12 : ok = ok And Same(now(i), clean(i)) : Next
        Check ok And now(13) = clean(13) And now(14) = clean(14), "every decomposition after a line leaving " & k
    Next
    On Error GoTo 0
End Sub

TestOutputs
TestStickyFlags
WScript.Echo passed & " passed, " & failed & " failed"
