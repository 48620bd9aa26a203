' Bit-identity cases: cscript //nologo BitIdentity.vbs <case>=<digest> ...
' Runs the same calls as the native reference program (automation_bit_reference)
' in a fresh process, so FillRandom draws the same values, and compares each
' result's value digest (see BitHash.h) with the native one given on the
' command line; a case without a native digest fails. The last line is
' "N passed, N failed" (Wine's cscript prints nothing for a script error, so
' a missing last line means the script stopped).
Option Explicit
Dim passed, failed, refs, n, pair, used
passed = 0 : failed = 0 : used = 0
Set refs = CreateObject("Scripting.Dictionary")
For n = 0 To WScript.Arguments.Count - 1  ' Wine's host cannot enumerate them
    pair = Split(WScript.Arguments(n), "=")
    If UBound(pair) = 1 Then refs(pair(0)) = pair(1)
Next

Sub Check(condition, what)
    If condition Then
        passed = passed + 1
    Else
        failed = failed + 1
        WScript.Echo "FAIL: " & what
    End If
End Sub

' h = (h * 1000003 + v) mod 2147483647, exactly in Doubles.
Dim h
Sub Feed(v)
    Dim t, r
    t = h * 1000003 + v
    r = t - Int(t / 2147483647) * 2147483647
    If r < 0 Then r = r + 2147483647
    If r >= 2147483647 Then r = r - 2147483647
    h = r
End Sub

' Sign, exponent + 1100 and the significand's two halves; 0 for a zero.
Sub Element(x)
    Dim a, e, hi
    If x = 0 Then Feed 0 : Exit Sub
    a = Abs(x) : e = 0
    Do While a >= 2 ^ 69 : a = a / 65536 : e = e + 16 : Loop
    Do While a >= 2 ^ 53 : a = a / 2 : e = e + 1 : Loop
    Do While a < 2 ^ 36 : a = a * 65536 : e = e - 16 : Loop
    Do While a < 2 ^ 52 : a = a * 2 : e = e - 1 : Loop
    hi = Int(a / 67108864)
    If x < 0 Then Feed 1 Else Feed 2
    Feed e + 1100 : Feed hi : Feed a - hi * 67108864
End Sub

' A digest starts with the dimensions and is compared when complete.
Sub Begin(rows, cols)
    h = 0 : Feed rows : Feed cols
End Sub
Sub Finish(name)
    If refs.Exists(name) Then
        used = used + 1
        Check CStr(h) = refs(name), name & ": digest " & h & ", native " & refs(name)
    Else
        Check False, name & ": no native digest given"
    End If
End Sub
Sub ExpectMatrix(name, m)
    Dim i, j
    Begin m.Rows, m.Cols
    For i = 0 To m.Rows - 1 : For j = 0 To m.Cols - 1 : Element m(i, j) : Next : Next
    Finish name
End Sub
Sub ExpectScalar(name, x)
    Begin 1, 1 : Element x : Finish name
End Sub

Function NewMatrix()
    Set NewMatrix = CreateObject("KestrimMatrixLib.Matrix")
End Function
Function RandomMatrix(rows, cols)
    Set RandomMatrix = NewMatrix()
    RandomMatrix.Size rows, cols
    RandomMatrix.FillRandom -1, 1, 6
End Function

Dim a, b, t, s, l, u, p, i, q, r, su, ss, sv, m, names, k, wr, wi, vr, vi
Set a = RandomMatrix(40, 40) : Set b = RandomMatrix(40, 1) : Set t = RandomMatrix(50, 40)
Set s = a.Transpose.Times((a))
ExpectMatrix "Times", t.Times((a))
ExpectMatrix "Inverse", a.Inverse
ExpectMatrix "Solve", a.Solve((b))
ExpectMatrix "SolveGauss", a.SolveGauss((b))
ExpectScalar "Determinant", a.Determinant

Set l = NewMatrix() : Set u = NewMatrix()
a.LU (l), (u), p  ' a script cannot pass a Long by reference (PermSign)
ExpectMatrix "LU.L", l
ExpectMatrix "LU.U", u
Begin UBound(p) + 1, 1
For i = 0 To UBound(p) : Element CLng(p(i)) : Next
Finish "LU.PermIndex"

Set l = NewMatrix()
s.Cholesky (l)
ExpectMatrix "Cholesky.L", l

Set q = NewMatrix() : Set r = NewMatrix()
t.QR (q), (r)
ExpectMatrix "QR.Q", q
ExpectMatrix "QR.R", r

Set su = NewMatrix() : Set ss = NewMatrix() : Set sv = NewMatrix()
t.SVD (su), (ss), (sv)
ExpectMatrix "SVD.U", su
ExpectMatrix "SVD.S", ss
ExpectMatrix "SVD.V", sv

names = Array("EigenSymmetric", "EigenGeneral")
For k = 0 To 1
    If k = 0 Then Set m = s Else Set m = a
    Set wr = NewMatrix() : Set wi = NewMatrix() : Set vr = NewMatrix() : Set vi = NewMatrix()
    m.Eigen (wr), (wi), (vr), (vi)
    ExpectMatrix names(k) & ".RealValues", wr
    ExpectMatrix names(k) & ".ImagValues", wi
    ExpectMatrix names(k) & ".RealVectors", vr
    ExpectMatrix names(k) & ".ImagVectors", vi
Next

Check used = 22, "22 results compared with native digests, " & used & " found"
WScript.Echo passed & " passed, " & failed & " failed"
