// Bit-identity cases: cscript //nologo BitIdentity.js <case>=<digest> ...
// The JScript twin of BitIdentity.vbs: the same calls as the native
// reference program in a fresh process, each result's value digest (see
// BitHash.h) compared with the native one. JScript cannot take PermIndex
// or PermSign back, so LU gives L and U only. Last line "N passed, N failed".
var passed = 0, failed = 0, used = 0, refs = {};
for (var n = 0; n < WScript.Arguments.length; n++) {
    var pair = WScript.Arguments.Item(n).split("=");
    if (pair.length === 2) refs[pair[0]] = pair[1];
}
function check(condition, what) { if (condition) passed++; else { failed++; WScript.Echo("FAIL: " + what); } }

// h = (h * 1000003 + v) mod 2147483647, exactly in Doubles.
var h = 0;
function feed(v) {
    var t = h * 1000003 + v, r = t - Math.floor(t / 2147483647) * 2147483647;
    if (r < 0) r += 2147483647;
    if (r >= 2147483647) r -= 2147483647;
    h = r;
}
// Sign, exponent + 1100 and the significand's two halves; 0 for a zero.
function element(x) {
    if (x === 0) { feed(0); return; }
    var a = Math.abs(x), e = 0;
    while (a >= Math.pow(2, 69)) { a /= 65536; e += 16; }
    while (a >= Math.pow(2, 53)) { a /= 2; e += 1; }
    while (a < Math.pow(2, 36)) { a *= 65536; e -= 16; }
    while (a < Math.pow(2, 52)) { a *= 2; e -= 1; }
    var hi = Math.floor(a / 67108864);
    feed(x < 0 ? 1 : 2); feed(e + 1100); feed(hi); feed(a - hi * 67108864);
}
function expect(name, m) {
    var rows = m.Rows, cols = m.Cols;
    h = 0; feed(rows); feed(cols);
    for (var i = 0; i < rows; i++) for (var j = 0; j < cols; j++) element(m.Item(i, j));
    if (refs.hasOwnProperty(name)) { used++; check(String(h) === refs[name], name + ": digest " + h + ", native " + refs[name]); }
    else check(false, name + ": no native digest given");
}
function expectScalar(name, x) {
    h = 0; feed(1); feed(1); element(x);
    if (refs.hasOwnProperty(name)) { used++; check(String(h) === refs[name], name + ": digest " + h + ", native " + refs[name]); }
    else check(false, name + ": no native digest given");
}
function newMatrix() { return new ActiveXObject("KestrimMatrixLib.Matrix"); }
function randomMatrix(rows, cols) { var m = newMatrix(); m.Size(rows, cols); m.FillRandom(-1, 1, 6); return m; }

var a = randomMatrix(40, 40), b = randomMatrix(40, 1), t = randomMatrix(50, 40);
var s = a.Transpose().Times(a);
expect("Times", t.Times(a));
expect("Inverse", a.Inverse());
expect("Solve", a.Solve(b));
expect("SolveGauss", a.SolveGauss(b));
expectScalar("Determinant", a.Determinant());
var l = newMatrix(), u = newMatrix();
a.LU(l, u);
expect("LU.L", l); expect("LU.U", u);
l = newMatrix(); s.Cholesky(l); expect("Cholesky.L", l);
var q = newMatrix(), r = newMatrix();
t.QR(q, r); expect("QR.Q", q); expect("QR.R", r);
var su = newMatrix(), ss = newMatrix(), sv = newMatrix();
t.SVD(su, ss, sv); expect("SVD.U", su); expect("SVD.S", ss); expect("SVD.V", sv);
var eigen = [["EigenSymmetric", s], ["EigenGeneral", a]];
for (var k = 0; k < 2; k++) {
    var wr = newMatrix(), wi = newMatrix(), vr = newMatrix(), vi = newMatrix();
    eigen[k][1].Eigen(wr, wi, vr, vi);
    expect(eigen[k][0] + ".RealValues", wr); expect(eigen[k][0] + ".ImagValues", wi);
    expect(eigen[k][0] + ".RealVectors", vr); expect(eigen[k][0] + ".ImagVectors", vi);
}
check(used === 21, "21 results compared with native digests, " + used + " found");
WScript.Echo(passed + " passed, " + failed + " failed");
