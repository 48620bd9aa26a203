// A short JScript suite for the KestrimMatrixLib.Matrix automation server.
// Run with: cscript //nologo MatrixSuite.js
// The last line is "N passed, N failed"; an uncaught error leaves it out.
// JScript cannot assign to a property that takes arguments (Item) nor build
// arrays of Double, so matrices here are filled with FillRandom(c, c),
// which makes every element c.
var passed = 0, failed = 0;

function check(condition, what) {
    if (condition) {
        passed++;
    } else {
        failed++;
        WScript.Echo("FAIL: " + what);
    }
}

function constant(rows, cols, value) {
    var m = new ActiveXObject("KestrimMatrixLib.Matrix");
    m.Size(rows, cols);
    m.FillRandom(value, value, 9);
    return m;
}

function expectError(action, number, description, what) {
    try {
        action();
        check(false, what + ": no error");
    } catch (err) {
        check(err.number === number, what + ": number " + err.number);
        if (description !== null)
            check(err.description === description, what + ": description " + err.description);
    }
}

// ---- creation and the values of a new object -------------------------------
var m = new ActiveXObject("KestrimMatrixLib.Matrix");
check(m.Rows === 1 && m.Cols === 1, "a new matrix is 1 x 1");
check(m.FireEvents === false, "FireEvents starts false");
check(m.MaxSize === 2147483647, "MaxSize");
check(m.Version === "2.1.435", "Version");
check(m.GetString() === "Not initialized", "GetString of a new matrix");
m.FireEvents = true;
check(m.FireEvents === true, "FireEvents let");

// ---- elements, text with omitted arguments ----------------------------------
m.Size(2, 3);
m.FillRandom(7, 7);
check(m.Item(1, 2) === 7 && m.Item(0, 0) === 7, "FillRandom with equal limits, Item get");
check(m.GetString() === "| 7.000 7.000 7.000 |\r\n| 7.000 7.000 7.000 |\r\n", "GetString()");
check(m.GetString(0, ";") === "| 7 7 7 |;| 7 7 7 |;", "GetString(0, ';')");
m.Cols = 4;
check(m.Item(1, 2) === 7 && m.Item(1, 3) === 0, "Cols keeps the surviving columns");
m.Cols = 3;

// ---- arithmetic: objects are passed by value ---------------------------------
var t = m.Transpose();
check(t.Rows === 3 && t.Cols === 2, "Transpose");
var p = m.Times(t);
check(p.Rows === 2 && p.Cols === 2 && p.Item(0, 1) === 147, "Times");
var s = m.Plus(m).Minus(m.TimesScalar(3));
check(s.Item(1, 1) === -7, "Plus, Minus, TimesScalar");
var c = m.Clone();
check(c.FireEvents === false && c.IsEqualTo(m) === true, "Clone");
c.PlusEquals(m);
c.MinusEquals(constant(2, 3, 4));
check(c.Item(0, 2) === 10 && m.Item(0, 2) === 7, "PlusEquals, MinusEquals");
var n = constant(2, 3, 7.000000002);
check(m.IsEqualTo(n) === false && m.IsEqualTo(n, 1e-8) === true, "IsEqualTo, default and given tolerance");
check(m.RowVector(1).Cols === 3 && m.ColVector(2).Rows === 2, "RowVector, ColVector");
var copy = new ActiveXObject("KestrimMatrixLib.Matrix");
copy.AsArray = m.AsArray;
check(copy.Rows === 2 && copy.Cols === 3 && copy.Item(1, 2) === 7, "AsArray get then let");

// ---- decompositions with omitted and given outputs ---------------------------
var a = constant(3, 3, 1).Plus(constant(3, 3, 1).TimesScalar(0));  // all ones
a.LU();
a.QR();
a.SVD();
a.Eigen();
var wr = new ActiveXObject("KestrimMatrixLib.Matrix");
a.Eigen(wr);
check(wr.Rows === 3 && Math.abs(wr.Item(0, 0) + wr.Item(1, 0) + wr.Item(2, 0) - 3) < 1e-12,
      "Eigen values of the all-ones matrix sum to its trace");
var sv = new ActiveXObject("KestrimMatrixLib.Matrix");
a.SVD(null, sv);
check(sv.Rows === 3 && Math.abs(sv.Item(0, 0) + sv.Item(1, 1) + sv.Item(2, 2) - 3) < 1e-12,
      "SVD with U omitted: singular values 3, 0, 0");
var l = constant(2, 2, 5);
constant(1, 1, 9).Cholesky(l);
check(l.Rows === 1 && l.Item(0, 0) === 3, "Cholesky of (9)");
constant(1, 1, 9).CHOLdc();

// ---- errors -------------------------------------------------------------------
expectError(function () { m.Rows = 0; }, -2147220203,
            "KestrimMatrixLib.Matrix Error Number: 1301\r\rInvalid number of rows.", "Rows = 0");
expectError(function () { m.Item(0, 3); }, -2147220184,
            "KestrimMatrixLib.Matrix Error Number: 1320\r\rColumn index exceeds matrix size.", "Item(0, 3)");
expectError(function () { m.Inverse(); }, -2147220199, null, "Inverse of 2 x 3");
expectError(function () { constant(2, 2, 1).Cholesky(); }, -2147220190, null, "Cholesky of a singular matrix");
expectError(function () { m.Plus(null); }, -2146828197, null, "Plus(null): missing object");

WScript.Echo(passed + " passed, " + failed + " failed");
