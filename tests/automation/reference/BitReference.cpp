// Native reference for the automation server's bit-identity cases: runs the
// cases with the native library, in a fresh process (FillRandom's sequence
// starts from its fixed state), and prints one line per result:
//   <case> <value digest> <bits digest>
// The script suites (BitIdentity.vbs, BitIdentity.js) and the compiled
// client run the same calls in the same order through KestrimMatrix.dll and
// must reproduce these digests exactly. Order 40 and 50 x 40 exercise the
// blocked and vectorised kernels of every decomposition.
#include <cstdio>
#include <string>

#include "BitHash.h"
#include "kestrim/Matrix.h"
#include "kestrim/Variant.h"

namespace {

using kestrim::Matrix;
using kestrim::MatrixPtr;

void Print(const std::string& name, const bithash::Digests& d) {
    std::printf("%s %.0f %.0f\n", name.c_str(), d.value, d.bits);
}
void Print(const std::string& name, const MatrixPtr& m) {
    Print(name, bithash::OfMatrix(m->Rows(), m->Cols(), [&](long i, long j) {
              return m->Item(static_cast<int32_t>(i), static_cast<int32_t>(j));
          }));
}
void Print(const std::string& name, double x) {
    Print(name, bithash::OfMatrix(1, 1, [x](long, long) { return x; }));
}

MatrixPtr Random(int32_t rows, int32_t cols) {
    MatrixPtr m = Matrix::New();
    m->Size(rows, cols);
    m->FillRandom(-1, 1, 6);
    return m;
}

}  // namespace

int main() {
    const MatrixPtr a = Random(40, 40), b = Random(40, 1), t = Random(50, 40);
    const MatrixPtr s = a->Transpose()->Times(a);  // symmetric positive definite
    Print("Times", t->Times(a));
    Print("Inverse", a->Inverse());
    Print("Solve", a->Solve(b));
    Print("SolveGauss", a->SolveGauss(b));
    Print("Determinant", a->Determinant());

    MatrixPtr l = Matrix::New(), u = Matrix::New();
    kestrim::Variant perm;
    int32_t sign = 0;
    a->LU(&l, &u, &perm, &sign);
    Print("LU.L", l);
    Print("LU.U", u);
    const int32_t first = perm.LBound(), count = perm.UBound() - first + 1;
    Print("LU.PermIndex",
          bithash::OfMatrix(count, 1, [&](long i, long) { return double(perm.At(first + int32_t(i)).ToLong()); }));
    Print("LU.PermSign", double(sign));

    MatrixPtr c = Matrix::New();
    s->Cholesky(&c);
    Print("Cholesky.L", c);

    MatrixPtr q = Matrix::New(), r = Matrix::New();
    t->QR(&q, &r);
    Print("QR.Q", q);
    Print("QR.R", r);

    MatrixPtr su = Matrix::New(), ss = Matrix::New(), sv = Matrix::New();
    t->SVD(&su, &ss, &sv);
    Print("SVD.U", su);
    Print("SVD.S", ss);
    Print("SVD.V", sv);

    for (const auto& [name, m] : {std::pair{"EigenSymmetric", s}, std::pair{"EigenGeneral", a}}) {
        MatrixPtr wr = Matrix::New(), wi = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
        m->Eigen(&wr, &wi, &vr, &vi);
        const std::string prefix = name;
        Print(prefix + ".RealValues", wr);
        Print(prefix + ".ImagValues", wi);
        Print(prefix + ".RealVectors", vr);
        Print(prefix + ".ImagVectors", vi);
    }
    return 0;
}
