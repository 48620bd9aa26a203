// The bit-identity cases through the vtable: the calls of the native
// reference program (automation_bit_reference) in the same order, each
// result's bits digest (see BitHash.h) compared with the native one read from
// the reference file. Runs first, before any other FillRandom in the process.
#include <fstream>
#include <map>
#include <sstream>

#include "BitHash.h"
#include "ClientSupport.h"

namespace client {
namespace {

std::map<std::string, std::string> g_native;  // case -> bits digest

std::string Text(double digest) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", digest);
    return text;
}
void Expect(const std::string& name, const bithash::Digests& d) {
    const auto found = g_native.find(name);
    CHECK(found != g_native.end() && found->second == Text(d.bits),
          name + ": bits digest " + Text(d.bits) + ", native " + (found == g_native.end() ? "none" : found->second));
}
void Expect(const std::string& name, const Matrix& m) {
    long rows = 0, cols = 0;
    if (!m || FAILED(m->get_Rows(&rows)) || FAILED(m->get_Cols(&cols))) return CHECK(false, name + ": no result");
    Expect(name, bithash::OfMatrix(rows, cols, [&](long i, long j) {
               double x = 0;
               m->get_Item(i, j, &x);
               return x;
           }));
}
void ExpectScalar(const std::string& name, double x) {
    Expect(name, bithash::OfMatrix(1, 1, [x](long, long) { return x; }));
}
Matrix Random(long rows, long cols) {
    Matrix m = NewMatrix();
    if (!m) return m;
    CHECK_HR(m->Size(rows, cols), "Size");
    CHECK_HR(m->FillRandom(-1, 1, 6), "FillRandom");
    return m;
}

}  // namespace

// Reads "<case> <value digest> <bits digest>" lines.
bool LoadNativeDigests(const std::wstring& path) {
    std::ifstream in(std::string(path.begin(), path.end()));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, value, bits;
        if (fields >> name >> value >> bits) g_native[name] = bits;
    }
    return !g_native.empty();
}

CLIENT_GROUP(BitIdentity) {
    const Matrix a = Random(40, 40), b = Random(40, 1), t = Random(50, 40);
    if (!a || !b || !t) return CHECK(false, "the inputs");
    Matrix at, s, r;
    IMatrixDual *pa = a.Get(), *pb = b.Get();
    CHECK_HR(a->Transpose(at.Out()), "Transpose");
    if (at) CHECK_HR(at->Times(&pa, s.Out()), "Times");
    if (!s) return;
    CHECK_HR(t->Times(&pa, r.Out()), "Times");
    Expect("Times", r);
    CHECK_HR(a->Inverse(r.Out()), "Inverse");
    Expect("Inverse", r);
    CHECK_HR(a->Solve(&pb, r.Out()), "Solve");
    Expect("Solve", r);
    CHECK_HR(a->SolveGauss(&pb, r.Out()), "SolveGauss");
    Expect("SolveGauss", r);
    double determinant = 0;
    CHECK_HR(a->Determinant(&determinant), "Determinant");
    ExpectScalar("Determinant", determinant);

    Matrix l = NewMatrix(), u = NewMatrix();
    IMatrixDual *pl = l.Get(), *pu = u.Get();
    VARIANT perm;
    VariantInit(&perm);
    long sign = 0;
    CHECK_HR(a->LU(&pl, &pu, &perm, &sign), "LU");
    Expect("LU.L", l), Expect("LU.U", u), ExpectScalar("LU.PermSign", sign);
    LONG first = 0, last = -1;
    const bool isArray = V_VT(&perm) == (VT_ARRAY | VT_VARIANT) && SUCCEEDED(SafeArrayGetLBound(V_ARRAY(&perm), 1, &first)) &&
                         SUCCEEDED(SafeArrayGetUBound(V_ARRAY(&perm), 1, &last));
    CHECK(isArray, "LU: PermIndex is an array of Variants");
    if (isArray)
        Expect("LU.PermIndex", bithash::OfMatrix(last - first + 1, 1, [&](long i, long) {
                   VARIANT entry, number;
                   VariantInit(&entry), VariantInit(&number);
                   LONG index = first + LONG(i);
                   SafeArrayGetElement(V_ARRAY(&perm), &index, &entry);
                   VariantChangeType(&number, &entry, 0, VT_R8);
                   const double x = V_VT(&number) == VT_R8 ? V_R8(&number) : -1;
                   VariantClear(&entry), VariantClear(&number);
                   return x;
               }));
    VariantClear(&perm);

    l = NewMatrix(), pl = l.Get();
    CHECK_HR(s->Cholesky(&pl), "Cholesky");
    Expect("Cholesky.L", l);
    Matrix q = NewMatrix(), rr = NewMatrix();
    IMatrixDual *pq = q.Get(), *pr = rr.Get();
    CHECK_HR(t->QR(&pq, &pr), "QR");
    Expect("QR.Q", q), Expect("QR.R", rr);
    Matrix su = NewMatrix(), ss = NewMatrix(), sv = NewMatrix();
    IMatrixDual *psu = su.Get(), *pss = ss.Get(), *psv = sv.Get();
    CHECK_HR(t->SVD(&psu, &pss, &psv), "SVD");
    Expect("SVD.U", su), Expect("SVD.S", ss), Expect("SVD.V", sv);
    for (const auto& [name, m] : {std::pair{std::string("EigenSymmetric"), s}, std::pair{std::string("EigenGeneral"), a}}) {
        Matrix out[4] = {NewMatrix(), NewMatrix(), NewMatrix(), NewMatrix()};
        IMatrixDual* p[4] = {out[0].Get(), out[1].Get(), out[2].Get(), out[3].Get()};
        CHECK_HR(m->Eigen(&p[0], &p[1], &p[2], &p[3]), name + ": Eigen");
        const char* parts[4] = {".RealValues", ".ImagValues", ".RealVectors", ".ImagVectors"};
        for (int k = 0; k < 4; ++k) Expect(name + parts[k], out[k]);
    }
}

}  // namespace client
