// JScript suite for KestrimMatrixLib.Matrix: cscript //nologo MatrixSuite.js
// The last line is "N passed, N failed". JScript cannot assign to Item, so
// matrices are filled with FillRandom(c, c, 9), which makes every element c.
var passed = 0, failed = 0;
function check(condition, what) { if (condition) passed++; else { failed++; WScript.Echo("FAIL: " + what); } }
function constant(rows, cols, value) {
    var m = new ActiveXObject("KestrimMatrixLib.Matrix");
    m.Size(rows, cols);
    m.FillRandom(value, value, 9);
    return m;
}
function expectError(action, number, description, what) {
    try { action(); check(false, what + ": no error"); } catch (err) { check(err.number === number && (description === null ||
        err.description === description), what + ": " + err.number + " " + err.description); }
}

var m = constant(2, 3, 7);
check(m.FireEvents === false && m.Version === "2.1.435" && m.Item(1, 2) === 7, "a new object, FillRandom(7, 7, 9)");
check(m.GetString() === "| 7.000 7.000 7.000 |\r\n| 7.000 7.000 7.000 |\r\n" && m.GetString(0, ";") === "| 7 7 7 |;| 7 7 7 |;",
      "GetString() and GetString(0, ';')");

// Outputs left out or passed as null.
var a = constant(3, 3, 1), wr = new ActiveXObject("KestrimMatrixLib.Matrix"), sv = new ActiveXObject("KestrimMatrixLib.Matrix");
a.LU(); a.QR(); a.SVD(); a.Eigen(wr); a.SVD(null, sv);
check(wr.Rows === 3 && Math.abs(wr.Item(0, 0) + wr.Item(1, 0) + wr.Item(2, 0) - 3) < 1e-12, "Eigen(RealValues) of ones");
check(Math.abs(sv.Item(0, 0) + sv.Item(1, 1) + sv.Item(2, 2) - 3) < 1e-12, "SVD(null, S): singular values 3, 0, 0");

expectError(function () { m.Rows = 0; }, -2147220203,
            "KestrimMatrixLib.Matrix Error Number: 1301\r\rInvalid number of rows.", "Rows = 0");
expectError(function () { constant(2, 2, 1).Cholesky(); }, -2147220190, null, "Cholesky of a singular matrix");
expectError(function () { m.Plus(null); }, -2146828197, null, "Plus(null): missing object");
WScript.Echo(passed + " passed, " + failed + " failed");
