#include "Operations.h"

#include <functional>
#include <map>

#include "MatrixConvert.h"

namespace kestrim::cli {

namespace {

using Inputs = std::vector<kestrim::MatrixPtr>;
using Outputs = std::optional<std::vector<NamedMatrix>>;
using Runner = std::function<Outputs(const OperationSpec&, const Inputs&)>;

// Pairs each result with its name from the operation's table entry; a null
// result means the operation was cancelled.
Outputs Named(const OperationSpec& op, const std::vector<kestrim::MatrixPtr>& results) {
    std::vector<NamedMatrix> out;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!results[i]) return std::nullopt;
        out.push_back({op.outputs[i], FromMatrix(*results[i])});
    }
    return out;
}

std::vector<kestrim::MatrixPtr> NewMatrices(std::size_t count) {
    std::vector<kestrim::MatrixPtr> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(kestrim::Matrix::New());
    return out;
}

Outputs RunLU(const OperationSpec& op, const Inputs& in) {
    auto results = NewMatrices(2);
    kestrim::Variant perm;
    int32_t sign = 0;
    in[0]->LU(&results[0], &results[1], &perm, &sign);
    // A cancelled LU leaves its outputs alone: the index stays empty.
    if (!perm.IsArray()) return std::nullopt;
    Outputs out = Named(op, results);
    std::vector<double> index;
    for (int32_t k = perm.LBound(); k <= perm.UBound(); ++k) index.push_back(perm.At(k).ToLong());
    out->push_back({op.outputs[2], ColumnOf(index)});
    out->push_back({op.outputs[3], ColumnOf({static_cast<double>(sign)})});
    return out;
}

const std::map<std::string, Runner>& Runners() {
    static const std::map<std::string, Runner> runners = {
        {"times", [](const OperationSpec& op, const Inputs& in) { return Named(op, {in[0]->Times(in[1])}); }},
        {"plus", [](const OperationSpec& op, const Inputs& in) { return Named(op, {in[0]->Plus(in[1])}); }},
        {"minus", [](const OperationSpec& op, const Inputs& in) { return Named(op, {in[0]->Minus(in[1])}); }},
        {"transpose", [](const OperationSpec& op, const Inputs& in) { return Named(op, {in[0]->Transpose()}); }},
        {"inverse", [](const OperationSpec& op, const Inputs& in) { return Named(op, {in[0]->Inverse()}); }},
        {"solve", [](const OperationSpec& op, const Inputs& in) { return Named(op, {in[0]->Solve(in[1])}); }},
        {"solve-gauss",
         [](const OperationSpec& op, const Inputs& in) { return Named(op, {in[0]->SolveGauss(in[1])}); }},
        {"det",
         [](const OperationSpec& op, const Inputs& in) -> Outputs {
             const double det = in[0]->Determinant();
             return std::vector<NamedMatrix>{{op.outputs[0], ColumnOf({det})}};
         }},
        {"lu", RunLU},
        {"cholesky",
         [](const OperationSpec& op, const Inputs& in) {
             auto r = NewMatrices(1);
             in[0]->Cholesky(&r[0]);
             return Named(op, r);
         }},
        {"qr",
         [](const OperationSpec& op, const Inputs& in) {
             auto r = NewMatrices(2);
             in[0]->QR(&r[0], &r[1]);
             return Named(op, r);
         }},
        {"svd",
         [](const OperationSpec& op, const Inputs& in) {
             auto r = NewMatrices(3);
             in[0]->SVD(&r[0], &r[1], &r[2]);
             return Named(op, r);
         }},
        {"eigen",
         [](const OperationSpec& op, const Inputs& in) {
             auto r = NewMatrices(4);
             in[0]->Eigen(&r[0], &r[1], &r[2], &r[3]);
             return Named(op, r);
         }},
    };
    return runners;
}

}  // namespace

const std::vector<OperationSpec>& MatrixOperations() {
    static const std::vector<OperationSpec> operations = {
        {"times", "matrix product A * B", {"A", "B"}, {"product"}},
        {"plus", "sum A + B", {"A", "B"}, {"sum"}},
        {"minus", "difference A - B", {"A", "B"}, {"difference"}},
        {"transpose", "transpose of A", {"A"}, {"transpose"}},
        {"det", "determinant of a square A", {"A"}, {"det"}},
        {"inverse", "inverse of a square A", {"A"}, {"inverse"}},
        {"solve", "solve A x = b through the inverse of A", {"A", "b"}, {"x"}},
        {"solve-gauss", "solve A x = b by Gauss elimination", {"A", "b"}, {"x"}},
        {"lu", "LU decomposition P A = L U (P as a row index, sign of P)", {"A"}, {"L", "U", "P", "sign"}},
        {"cholesky", "Cholesky factor L of a symmetric positive definite A", {"A"}, {"L"}},
        {"qr", "QR decomposition of A (rows >= columns)", {"A"}, {"Q", "R"}},
        {"svd", "singular value decomposition A = U S V'", {"A"}, {"U", "S", "V"}},
        {"eigen", "eigenvalues and eigenvectors of a square A (real and imaginary parts)", {"A"},
         {"values_real", "values_imag", "vectors_real", "vectors_imag"}},
    };
    return operations;
}

const OperationSpec* FindOperation(const std::string& name) {
    for (const OperationSpec& op : MatrixOperations())
        if (name == op.name) return &op;
    return nullptr;
}

Outputs RunOperation(const OperationSpec& op, const Inputs& inputs) {
    return Runners().at(op.name)(op, inputs);
}

}  // namespace kestrim::cli
