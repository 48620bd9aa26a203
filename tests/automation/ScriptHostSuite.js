// JScript passes every argument by value: outputs that are temporaries,
// null or left out, on success and on every failure, then many more calls
// on the same variables; and every decomposition after lines that leave
// the floating-point flags set. The last line is "N passed, N failed".
var passed = 0, failed = 0;
function check(condition, what) { if (condition) passed++; else { failed++; WScript.Echo("FAIL: " + what); } }
function matrix(rows, cols) { var m = new ActiveXObject("KestrimMatrixLib.Matrix"); m.Size(rows, cols); return m; }
function constant(rows, cols, value) { var m = matrix(rows, cols); m.FillRandom(value, value, 9); return m; }
function code(n) { return -2147221504 + 1300 + n; }
// The error number `action` raises (0 for none).
function raised(action) { try { action(); return 0; } catch (err) { return err.number; } }
function same(a, b) {
    if (a === null || b === null || a.Rows !== b.Rows || a.Cols !== b.Cols) return false;
    for (var i = 0; i < a.Rows; i++) for (var j = 0; j < a.Cols; j++) if (a.Item(i, j) !== b.Item(i, j)) return false;
    return true;
}
// Works the variables hard: a reference count gone wrong shows here.
function exercise(vars, what) {
    var ok = true;
    for (var k = 0; k < 40; k++) for (var v = 0; v < vars.length; v++) {
        var x = vars[v];
        x.Size(3, 3); x.FillRandom(1, 9, 0);
        var t = x.Transpose().Times(x).Plus(constant(3, 3, 50));
        t.Cholesky(x);
        ok = ok && x.Rows === 3 && t.Inverse().Rows === 3;
    }
    check(ok, what + ": the variables keep working");
}

var x = matrix(3, 3); x.FillRandom(1, 9, 0);
var spd = x.Transpose().Times(x).Plus(constant(3, 3, 30)), notSpd = constant(1, 1, -4), wide = constant(2, 3, 1);
var singular = matrix(2, 2), huge = constant(2, 2, 1e308), l = matrix(2, 2), u = matrix(2, 2), s = matrix(1, 1);
check(raised(function () { notSpd.Cholesky(l); }) === code(14), "Cholesky(l) fails");
check(raised(function () { notSpd.Cholesky(l); }) === code(14) && l.Rows === 2, "Cholesky(l) fails again, l intact");
check(raised(function () { notSpd.Cholesky(matrix(1, 1)); }) === code(14), "Cholesky of a temporary");
check(raised(function () { notSpd.Cholesky(null); }) === code(14), "Cholesky(null)");
check(raised(function () { notSpd.Cholesky(notSpd); }) === code(14) && notSpd.Item(0, 0) === -4, "the receiver as output");
check(raised(function () { wide.Cholesky(l); }) === code(5), "Cholesky of a wide matrix");
check(raised(function () { spd.Cholesky(l); }) === 0 && l.Rows === 3, "Cholesky(l) fills l");
check(raised(function () { singular.LU(l, u); }) === code(13) && l.Rows === 3, "LU of a singular matrix");
check(raised(function () { wide.LU(l, l); }) === code(5), "LU of a wide matrix, one object twice");
check(raised(function () { spd.LU(l, u); }) === 0 && l.Rows === 3 && u.Rows === 3, "LU(l, u)");
check(raised(function () { wide.QR(l, u); }) === code(18), "QR of a wide matrix");
check(raised(function () { huge.QR(l, l); }) === code(15), "QR fault");
check(raised(function () { huge.SVD(l, u, s); }) === code(16), "SVD fault");
check(raised(function () { spd.SVD(l, u, l); }) === 0 && u.Rows === 3, "SVD(l, u, l)");
check(raised(function () { huge.Eigen(l, u, s, matrix(1, 1)); }) !== 0, "Eigen fault");
check(raised(function () { spd.Eigen(l, u, s, s); }) === 0 && l.Rows === 3, "Eigen(l, u, s, s)");
check(raised(function () { spd.RearrangeRows([1, 0, 2]); }) === code(3), "RearrangeRows of a JScript array");
var nv = 7;
check(raised(function () { spd.Clone().NormalizeMe(nv); }) === 0 && nv === 7, "NormalizeMe(nv) by value");
check(raised(function () { constant(1, 1, 1).TimesScalar(1e-300).TimesScalar(1e-10).Normalize(nv); }) === -2146828282, "Normalize of a subnormal: overflow");
exercise([l, u, s, x], "after the failures");

// Every decomposition after lines that leave each flag set.
function decompose(a, g) {
    var o = [];
    for (var k = 0; k < 12; k++) o.push(matrix(1, 1));
    a.LU(o[0], o[1]); a.Cholesky(o[2]); a.QR(o[3], o[4]); a.SVD(o[5], o[6], o[7]); g.Eigen(o[8], o[9], o[10], o[11]);
    o.push(a.Inverse().Times(g));
    return { m: o, det: a.Determinant() };
}
var g = matrix(3, 3); g.FillRandom(-5, 5, 2);
var clean = decompose(spd, g), zero = 0, big = 1e300, y;
var lines = [["underflow", function () { y = 1e-300 * 1e-300; }], ["inexact", function () { y = 1 / 3; }],
             ["division by zero", function () { y = 1 / zero; }], ["overflow", function () { y = big * big; }],
             ["invalid", function () { y = zero / zero; }]];
for (var k = 0; k < lines.length; k++) {
    lines[k][1]();
    var now = null;
    var number = raised(function () { now = decompose(spd, g); });
    var ok = number === 0 && now.det === clean.det;
    for (var i = 0; ok && i < clean.m.length; i++) ok = same(now.m[i], clean.m[i]);
    check(ok, "every decomposition after a line leaving " + lines[k][0] + ": " + number);
}
WScript.Echo(passed + " passed, " + failed + " failed");
