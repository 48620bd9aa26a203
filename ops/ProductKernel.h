// Packed matrix-product kernels for Times.
//
// Every result element is the running sum s = 0; s = s + a(i,k) * b(k,j)
// for k = 0, 1, 2, ... in increasing order, with a separately rounded
// multiply and add (never a fused multiply-add). The kernels only change
// the memory layout and compute several independent result elements at
// once (vectorised across rows i), so their results are bit-identical to
// the plain triple loop on every instruction set they are built for.
//
// The kernels never compute padding lanes: a partial tile is computed by a
// narrower kernel, so no product or sum is ever formed that the plain loop
// would not form, and the floating-point flags they leave are exactly the
// union of the flags of the plain loop's steps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrim::detail::product {

struct Kernel {
    const char* name;
    // Columns per packed panel of the right operand.
    int nr;
    // Size in doubles of the work buffer that MultiplyRows needs.
    std::size_t workSize;

    // Packs the n x q right operand b (column-major, column stride ldb)
    // into panels of nr columns. Panel p starts at p * nr * n and holds
    // its w = min(nr, q - p * nr) columns k-major: element (k, p*nr + jj)
    // at p * nr * n + k * w + jj. The output holds n * q doubles.
    void (*packB)(const double* b, std::size_t ldb, int32_t n, int32_t q, double* out);

    // Continues the sums of the result rows [i0, i1): for every such row i
    // and every column j < q, c(i, j) is used as the running sum and
    // a(i, k) * packed(k, j) is added for k = 0 .. n - 1 in increasing
    // order. a and c are column-major with column strides lda and ldc;
    // work has workSize doubles.
    void (*multiplyRows)(const double* a, std::size_t lda, int32_t i0, int32_t i1, int32_t n,
                         const double* packedB, int32_t q, double* c, std::size_t ldc,
                         double* work);

    // The same as multiplyRows, subtracting each product instead:
    // c(i, j) = c(i, j) - a(i, k) * packed(k, j) for k = 0 .. n - 1 in
    // increasing order (the trailing updates of the eliminations).
    void (*subtractRows)(const double* a, std::size_t lda, int32_t i0, int32_t i1, int32_t n,
                         const double* packedB, int32_t q, double* c, std::size_t ldc,
                         double* work);

    // One result row from a contiguous row of the left operand: for every
    // j < q, c[j * ldc] = sum of arow[k] * packed(k, j) for k < kmax in
    // increasing order, starting from 0. The packed operand has n rows and
    // kmax <= n (only its first kmax rows are used).
    void (*multiplyRow)(const double* arow, int32_t kmax, const double* packedB, int32_t n,
                        int32_t q, double* c, std::size_t ldc);
};

// The fastest kernel this processor supports, or the one chosen by
// UseKernel.
const Kernel& SelectKernel() noexcept;

// Makes SelectKernel return SupportedKernel(index) (for tests: every kernel
// gives the same bits); a negative index restores the fastest.
void UseKernel(int index) noexcept;

// Every kernel this processor supports, fastest first (for tests).
int SupportedKernelCount() noexcept;
const Kernel& SupportedKernel(int index) noexcept;

// The per-instruction-set kernels (defined in their own files).
const Kernel& Sse2Kernel() noexcept;
const Kernel* Avx2Kernel() noexcept;    // null when not built
const Kernel* Avx512Kernel() noexcept;  // null when not built

}  // namespace kestrim::detail::product
