// Householder reflections applied to a block of columns held row by row.
//
// A block is a private work array of `width` adjacent columns stored
// row-major (element (i, j) at block[i * width + j]), so that one vector
// holds one row of several columns. A reflection with vector v (rows
// row .. rows-1) and pivot p acts on every column x of the block as
//   s = 0; s = s + v[i] * x[i] for i = row .. rows-1 in increasing order;
//   s = -s / p;  x[i] = x[i] + s * v[i] for i = row .. rows-1,
// which is the scalar order of the factorisation and of forming Q: each
// column's sum is accumulated in row order, only the columns are computed
// side by side. The reflections of a sequence are applied one after the
// other; a pass over the rows adds the update of one reflection and the
// sum of the next at the same time (a row's sum term is formed after that
// row was updated), so the block is swept once per reflection.
#pragma once

#include <cstddef>

namespace kestrim::detail::reflect {

struct Reflection {
    const double* v;  // the vector's element of row `row`: v[i - row] for row i
    std::size_t row;  // first row it touches
    double pivot;     // v[0], never zero
};

// The widest block of any kernel.
inline constexpr std::size_t kMaxWidth = 64;

// A sequence of reflections under way on one block. Pass t (0 .. count)
// updates with reflection t-1 and sums for reflection t; a kernel's step
// carries the work on by a bounded number of block rows, so that it can
// fill the waits of a latency-bound computation running beside it (the
// chain of a column norm).
struct Job {
    double* block = nullptr;
    std::size_t rows = 0;
    const Reflection* refl = nullptr;
    std::size_t count = 0;
    std::size_t pass = 0;  // the pass under way (count + 1 when done)
    std::size_t row = 0;   // its next row
    // Each column's running sum and s, kept between steps.
    alignas(64) double sum[kMaxWidth] = {};
    alignas(64) double s[kMaxWidth] = {};

    Job() = default;
    Job(double* b, std::size_t r, const Reflection* first, std::size_t n) : block(b), rows(r), refl(first), count(n) {}
    bool Done() const { return pass > count; }
};

struct Kernel {
    const char* name;
    // Columns per block: the row stride of the block.
    std::size_t width;
    // Carries `job` on by at most `rowBudget` block rows (each row of a
    // pass counts once); false when it is complete.
    bool (*step)(Job& job, std::size_t rowBudget);

    // Applies refl[0], refl[1], .., refl[count-1] in that order to a block
    // of `rows` rows.
    void Apply(double* block, std::size_t rows, const Reflection* refl, std::size_t count) const {
        Job job(block, rows, refl, count);
        step(job, static_cast<std::size_t>(-1));
    }
};

// The widest kernel this processor supports, or the one chosen by
// UseKernel.
const Kernel& SelectKernel() noexcept;
// Makes SelectKernel return SupportedKernel(index) (for tests: every kernel
// gives the same bits); a negative index restores the widest.
void UseKernel(int index) noexcept;
// Every kernel this processor supports, widest first (for tests).
int SupportedKernelCount() noexcept;
const Kernel& SupportedKernel(int index) noexcept;

// The per-instruction-set kernels (defined in their own files).
const Kernel& Sse2Kernel() noexcept;
const Kernel* AvxKernel() noexcept;     // null when not built
const Kernel* Avx512Kernel() noexcept;  // null when not built

}  // namespace kestrim::detail::reflect
