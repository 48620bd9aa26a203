// FillRandom: uniform values in a range, rounded to a number of decimals.
#include "core/MatrixAccess.h"
#include "host/runtime/Random.h"

namespace kestrim {

void Matrix::FillRandom(double LowLimit, double HighLimit, int16_t NumDecimalPlaces) try {
    detail::OperationScope scope(*this);
    const double range = HighLimit - LowLimit;
    fp::TestStep();
    RequireStorage();

    const bool events = EventsEnabled;  // read once for the whole call
    const int32_t lastRow = LastRow;
    const int32_t workLastCol = LastCol;
    DoubleArray work;
    if (events) work = DoubleArray::Create2D(lastRow, workLastCol);

    bool cancel = false;
    for (int32_t i = 0; i <= lastRow; ++i) {
        const int32_t lastCol = LastCol;  // read again at every row
        // With events off nothing can resize the matrix during the call.
        if (!events && !detail::MatrixAccess::Covers(*this, static_cast<int64_t>(i) + 1,
                                                     static_cast<int64_t>(lastCol) + 1))
            RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        for (int32_t j = 0; j <= lastCol; ++j) {
            const float u = random::NextSingle();
            const double x = static_cast<double>(u) * range + LowLimit;
            fp::TestStep();
            const double v = random::RoundToDecimals(x, NumDecimalPlaces);
            if (events) {
                // A handler may have widened the matrix past the work array:
                // the value for the first missing column has been drawn
                // when its store fails.
                if (j > workLastCol) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
                work.At(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) = v;
            } else {
                Elements.At(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) = v;
            }
        }
        if (events) {
            if (RaiseOnProgress("FillRandom", detail::ProgressPercent(i, Rows()), cancel)) return;
        }
    }
    if (events) {
        // The work array replaces the elements only if it still fits them.
        if (!Elements.HasStorage() || LastRow != lastRow || LastCol != workLastCol)
            RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        Elements = std::move(work);
        RaiseDone("FillRandom");
    }
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
