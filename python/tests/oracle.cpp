// Reads cases from stdin and prints the C++ library's results as hex
// floats, one line per case, for the Python bit-identity tests.
//
// Input, per case: a line "<operation> <number of matrices>", then one line
// per matrix: "<rows> <cols>" and the elements, column-major, in any format
// strtod reads (hex floats included).
// Output, per case: tokens "M <rows> <cols> <%a...>", "S <%a>", "I <n>", or
// "E <error number>" when the library raised, all on one line.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kestrim/Matrix.h"

using kestrim::Matrix;
using kestrim::MatrixPtr;

namespace {

MatrixPtr ReadMatrix(std::istream& in) {
    std::string line;
    std::getline(in, line);
    std::istringstream row(line);
    int32_t rows = 0, cols = 0;
    row >> rows >> cols;
    auto m = Matrix::New();
    m->Size(rows, cols);
    for (int32_t c = 0; c < cols; ++c)
        for (int32_t r = 0; r < rows; ++r) {
            std::string token;
            row >> token;
            m->SetItem(r, c, std::strtod(token.c_str(), nullptr));
        }
    return m;
}

std::string Hex(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

std::string Out(const MatrixPtr& m) {
    if (!m) return " N";
    std::string s = " M " + std::to_string(m->Rows()) + " " + std::to_string(m->Cols());
    for (int32_t c = 0; c < m->Cols(); ++c)
        for (int32_t r = 0; r < m->Rows(); ++r) s += " " + Hex(m->Item(r, c));
    return s;
}

std::string Run(const std::string& op, std::vector<MatrixPtr>& a) {
    if (op == "Plus") return Out(a[0]->Plus(a[1]));
    if (op == "Minus") return Out(a[0]->Minus(a[1]));
    if (op == "Times") return Out(a[0]->Times(a[1]));
    if (op == "TimesScalar") return Out(a[0]->TimesScalar(a[1]->Item(0, 0)));
    if (op == "Transpose") return Out(a[0]->Transpose());
    if (op == "Determinant") return " S " + Hex(a[0]->Determinant());
    if (op == "Inverse") return Out(a[0]->Inverse());
    if (op == "Solve") return Out(a[0]->Solve(a[1]));
    if (op == "SolveGauss") return Out(a[0]->SolveGauss(a[1]));
    if (op == "Normalize") {
        double norm = 0;
        auto r = a[0]->Normalize(&norm);
        return Out(r) + " S " + Hex(norm);
    }
    if (op == "LU") {
        MatrixPtr l = Matrix::New(), u = Matrix::New();
        kestrim::Variant perm;
        int32_t sign = 0;
        a[0]->LU(&l, &u, &perm, &sign);
        std::string s = Out(l) + Out(u);
        for (int32_t i = perm.LBound(); i <= perm.UBound(); ++i) s += " I " + std::to_string(perm.At(i).ToLong());
        return s + " I " + std::to_string(sign);
    }
    if (op == "Cholesky") {
        MatrixPtr l = Matrix::New();
        a[0]->Cholesky(&l);
        return Out(l);
    }
    if (op == "QR") {
        MatrixPtr q = Matrix::New(), r = Matrix::New();
        a[0]->QR(&q, &r);
        return Out(q) + Out(r);
    }
    if (op == "SVD") {
        MatrixPtr u = Matrix::New(), s = Matrix::New(), v = Matrix::New();
        a[0]->SVD(&u, &s, &v);
        return Out(u) + Out(s) + Out(v);
    }
    if (op == "Eigen") {
        MatrixPtr p[4] = {Matrix::New(), Matrix::New(), Matrix::New(), Matrix::New()};
        a[0]->Eigen(&p[0], &p[1], &p[2], &p[3]);
        return Out(p[0]) + Out(p[1]) + Out(p[2]) + Out(p[3]);
    }
    return " ?";
}

}  // namespace

int main() {
    std::string header;
    while (std::getline(std::cin, header)) {
        std::istringstream h(header);
        std::string op;
        int count = 0;
        h >> op >> count;
        std::vector<MatrixPtr> args;
        for (int i = 0; i < count; ++i) args.push_back(ReadMatrix(std::cin));
        std::string result;
        try {
            result = Run(op, args);
        } catch (const kestrim::Error& e) {
            result = " E " + std::to_string(e.Number());
        }
        std::cout << op << result << "\n";
    }
    return 0;
}
