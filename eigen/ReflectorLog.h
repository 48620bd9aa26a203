// A record of the small reflections and plane rotations that the Hessenberg
// QR iteration applies to the columns of the accumulated transformation Z,
// kept until Z is next read and then applied a block of rows at a time.
//
// The iteration computes each reflection from H alone and never reads Z,
// and every row of Z receives its own sequence of updates. Applying the
// record later, in recorded order, gives every element of Z exactly the
// operations (and so the bits) it would have received at once, while a
// block of rows stays in cache for the whole record instead of two or three
// whole columns being streamed per reflection. Row blocks are independent,
// so they are split among threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "eigen/EigenInternal.h"
#include "eigen/EigenKernels.h"
#include "host/runtime/Parallel.h"

namespace kestrim::detail::eigen {

class ReflectorLog {
public:
    // Room for everything recorded between two applications, so that
    // recording never allocates.
    void Reserve(int32_t order) {
        limit_ = kBaseOps + kOpsPerColumn * static_cast<std::size_t>(order);
        ops_.reserve(limit_ + static_cast<std::size_t>(order));
    }

    // Columns k, k+1, k+2: t = x*a + y*b + zz*c; a -= t; b -= t*q; c -= t*r.
    void Reflect3(int32_t k, double x, double y, double zz, double q, double r) {
        ops_.push_back({k, Kind::Three, x, y, zz, q, r});
    }
    // Columns k, k+1: t = x*a + y*b; a -= t; b -= t*q.
    void Reflect2(int32_t k, double x, double y, double q) { ops_.push_back({k, Kind::Two, x, y, 0.0, q, 0.0}); }
    // Columns k, k+1: Rotate(a, b, c, s) of the shared kernels.
    void Rotate(int32_t k, double c, double s) { ops_.push_back({k, Kind::Rotation, c, s, 0.0, 0.0, 0.0}); }

    bool Full() const noexcept { return ops_.size() >= limit_; }

    // Applies the record to rows Low .. High of Z and empties it.
    void Apply(Square& Z, int32_t Low, int32_t High) {
        if (ops_.empty()) return;
        const std::size_t rows = static_cast<std::size_t>(High - Low) + 1;
        const auto blocks = static_cast<int64_t>((rows + kBlockRows - 1) / kBlockRows);
        const double work = 10.0 * static_cast<double>(ops_.size()) * static_cast<double>(rows);
        ParallelForWork(blocks, work, [&](int64_t begin, int64_t end) {
            for (int64_t b = begin; b < end; ++b) {
                const std::size_t r0 = static_cast<std::size_t>(Low) + static_cast<std::size_t>(b) * kBlockRows;
                const std::size_t len = std::min(kBlockRows, static_cast<std::size_t>(High) + 1 - r0);
                ApplyToRows(Z, r0, len);
            }
        });
        ops_.clear();
    }

private:
    enum class Kind : int32_t { Three, Two, Rotation };
    struct Op {
        int32_t k;
        Kind kind;
        double x, y, zz, q, r;
    };

    static constexpr std::size_t kBaseOps = 256;
    static constexpr std::size_t kOpsPerColumn = 4;
    static constexpr std::size_t kBlockRows = 64;

    void ApplyToRows(Square& Z, std::size_t r0, std::size_t len) const noexcept {
        for (const Op& op : ops_) {
            double* a = Z.Col(op.k) + r0;
            double* b = Z.Col(op.k + 1) + r0;
            switch (op.kind) {
                case Kind::Three:
                    kernels::Reflect3(a, b, Z.Col(op.k + 2) + r0, op.x, op.y, op.zz, op.q, op.r, len);
                    break;
                case Kind::Two:
                    kernels::Reflect2(a, b, op.x, op.y, op.q, len);
                    break;
                case Kind::Rotation:
                    kernels::Rotate(a, b, op.x, op.y, len);
                    break;
            }
        }
    }

    std::vector<Op> ops_;
    std::size_t limit_ = kBaseOps;
};

}  // namespace kestrim::detail::eigen
