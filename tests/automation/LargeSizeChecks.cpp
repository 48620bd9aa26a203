// Sizes at which the vectorised kernels of the cross-compiled logic run
// (Windows calling convention, 16-byte stack alignment): every result is
// checked against a product computed here from the arrays.
#include <cmath>
#include <string>
#include <vector>

#include "ClientSupport.h"

namespace client {
namespace {

struct Dense {
    long rows = 0, cols = 0;
    std::vector<double> a;  // column-major, as AsArray hands it out
    double operator()(long i, long j) const { return a[static_cast<size_t>(j * rows + i)]; }
};

Dense Fetch(const Matrix& m) {
    Dense d;
    if (!m) return d;
    SAFEARRAY* array = nullptr;
    if (FAILED(m->get_AsArray(&array)) || !array) return d;
    LONG u1 = -1, u2 = -1;
    SafeArrayGetUBound(array, 1, &u1);
    SafeArrayGetUBound(array, 2, &u2);
    d.rows = u1 + 1;
    d.cols = u2 + 1;
    double* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    d.a.assign(data, data + d.rows * d.cols);
    SafeArrayUnaccessData(array);
    SafeArrayDestroy(array);
    return d;
}

// max |x * y - z| over all elements, with x * y formed here; y may be
// taken transposed.
double ProductError(const Dense& x, const Dense& y, const Dense& z, bool transposeY = false) {
    const long inner = x.cols;
    const long cols = transposeY ? y.rows : y.cols;
    if (z.rows != x.rows || z.cols != cols || (transposeY ? y.cols : y.rows) != inner) return INFINITY;
    double worst = 0;
    for (long i = 0; i < x.rows; ++i)
        for (long j = 0; j < cols; ++j) {
            double s = 0;
            for (long k = 0; k < inner; ++k) s += x(i, k) * (transposeY ? y(j, k) : y(k, j));
            worst = std::fmax(worst, std::fabs(s - z(i, j)));
        }
    return worst;
}

Matrix Random(long rows, long cols, double diagonal) {
    Matrix m = NewMatrix();
    m->Size(rows, cols);
    m->FillRandom(-1, 1, 6);
    for (long i = 0; i < rows && i < cols; ++i) {
        double v = 0;
        m->get_Item(i, i, &v);
        m->put_Item(i, i, v + diagonal);
    }
    return m;
}

}  // namespace

CLIENT_GROUP(LargeSizes) {
    const long n = 120;
    Matrix a = Random(n, n, n);
    Matrix b = Random(n, n, 0);
    if (!a || !b) return;
    const Dense da = Fetch(a), db = Fetch(b);

    IMatrixDual* bRef = b.Get();
    Matrix product;
    CHECK_HR(a->Times(&bRef, product.Out()), "Times 120 x 120");
    CHECK(ProductError(da, db, Fetch(product)) < 1e-12, "Times 120 x 120 matches the product");

    Matrix inverse;
    CHECK_HR(a->Inverse(inverse.Out()), "Inverse 120 x 120");
    Dense identity;
    identity.rows = identity.cols = n;
    identity.a.assign(static_cast<size_t>(n * n), 0.0);
    for (long i = 0; i < n; ++i) identity.a[static_cast<size_t>(i * n + i)] = 1;
    CHECK(ProductError(da, Fetch(inverse), identity) < 1e-12, "A times its inverse is the identity");

    Matrix l = NewMatrix(), u = NewMatrix();
    VARIANT perm;
    VariantInit(&perm);
    CHECK_HR(a->LU(l.InOut(), u.InOut(), &perm, nullptr), "LU 120 x 120");
    Dense permuted = da;
    for (LONG i = 0; i < n && V_VT(&perm) == (VT_ARRAY | VT_VARIANT); ++i) {
        VARIANT e;
        VariantInit(&e);
        SafeArrayGetElement(V_ARRAY(&perm), &i, &e);
        for (long j = 0; j < n; ++j) permuted.a[static_cast<size_t>(j * n + i)] = da(V_I4(&e), j);
        VariantClear(&e);
    }
    VariantClear(&perm);
    CHECK(ProductError(Fetch(l), Fetch(u), permuted) < 1e-11, "L U equals the permuted A");

    Matrix tall = Random(150, n, 0);
    const Dense dt = Fetch(tall);
    Matrix q = NewMatrix(), r = NewMatrix();
    CHECK_HR(tall->QR(q.InOut(), r.InOut()), "QR 150 x 120");
    CHECK(ProductError(Fetch(q), Fetch(r), dt) < 1e-12, "Q R equals A");

    Matrix su = NewMatrix(), ss = NewMatrix(), sv = NewMatrix();
    CHECK_HR(tall->SVD(su.InOut(), ss.InOut(), sv.InOut()), "SVD 150 x 120");
    Matrix us;
    IMatrixDual* sRef = ss.Get();
    su->Times(&sRef, us.Out());
    CHECK(ProductError(Fetch(us), Fetch(sv), dt, true) < 1e-11, "U S V' equals A");

    Matrix symmetric;
    Matrix transposed;
    a->Transpose(transposed.Out());
    IMatrixDual* tRef = transposed.Get();
    a->Plus(&tRef, symmetric.Out());
    Matrix values = NewMatrix(), vectors = NewMatrix();
    CHECK_HR(symmetric->Eigen(values.InOut(), nullptr, vectors.InOut(), nullptr), "Eigen 120 x 120 symmetric");
    const Dense dv = Fetch(vectors), dw = Fetch(values);
    Dense scaled = dv;
    for (long j = 0; j < dv.cols && j < dw.rows; ++j)
        for (long i = 0; i < dv.rows; ++i) scaled.a[static_cast<size_t>(j * n + i)] *= dw(j, 0);
    CHECK(ProductError(Fetch(symmetric), dv, scaled) < 1e-10, "A V equals V diag(values)");
}

}  // namespace client
