// Shared helpers for the component's tests: building matrices from rows,
// reading them back, recording events, and asserting errors.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kestrim/Matrix.h"

namespace kestrim::test {

using Rows = std::vector<std::vector<double>>;

inline MatrixPtr MakeMatrix(const Rows& rows) {
    auto m = Matrix::New();
    const auto r = static_cast<int32_t>(rows.size());
    const auto c = static_cast<int32_t>(rows.empty() ? 0 : rows[0].size());
    m->Size(r, c);
    for (int32_t i = 0; i < r; ++i)
        for (int32_t j = 0; j < c; ++j) m->SetItem(i, j, rows[i][j]);
    return m;
}

inline Rows ToRows(const Matrix& m) {
    Rows out(m.Rows(), std::vector<double>(m.Cols()));
    for (int32_t i = 0; i < m.Rows(); ++i)
        for (int32_t j = 0; j < m.Cols(); ++j) out[i][j] = m.Item(i, j);
    return out;
}

// Bitwise equality of doubles (distinguishes -0.0 from 0.0, equal NaNs).
inline bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct RecordedEvent {
    std::string kind;  // "OnProgress" or "Done"
    std::string operation;
    float percent = 0.0f;
    bool operator==(const RecordedEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const RecordedEvent& e) {
    return os << e.kind << "(" << e.operation << ", " << e.percent << ")";
}

// Records every event; optional hooks run inside the event.
class EventRecorder : public MatrixEvents {
public:
    std::vector<RecordedEvent> events;
    // Called inside OnProgress with the index of this progress event
    // (0-based) and the Cancel flag.
    std::function<void(int index, bool& cancel)> onProgress;
    std::function<void()> onDone;

    void OnProgress(const std::string& op, float percent, bool& cancel) override {
        events.push_back({"OnProgress", op, percent});
        if (onProgress) onProgress(progressCount_++, cancel);
    }
    void Done(const std::string& op) override {
        events.push_back({"Done", op, 0.0f});
        if (onDone) onDone();
    }
    std::vector<float> Percents() const {
        std::vector<float> p;
        for (const auto& e : events)
            if (e.kind == "OnProgress") p.push_back(e.percent);
        return p;
    }

private:
    int progressCount_ = 0;
};

// Connects a new recorder to `m` and switches its events on.
inline std::shared_ptr<EventRecorder> Record(const MatrixPtr& m) {
    auto rec = std::make_shared<EventRecorder>();
    m->Connect(rec);
    m->SetFireEvents(true);
    return rec;
}

inline int32_t MatrixErrorNumber(int code) {
    return static_cast<int32_t>(kMatrixErrorBase + static_cast<uint32_t>(code));
}

}  // namespace kestrim::test

// Asserts that `stmt` raises the component error `code` with help context `help`.
#define EXPECT_MATRIX_ERROR(stmt, code, help)                                         \
    do {                                                                              \
        try {                                                                         \
            stmt;                                                                     \
            ADD_FAILURE() << "expected component error " << (code);                   \
        } catch (const ::kestrim::Error& e_) {                                        \
            EXPECT_EQ(e_.Number(), ::kestrim::test::MatrixErrorNumber(code))          \
                << e_.Description();                                                  \
            EXPECT_EQ(e_.HelpContext(), (help));                                      \
        }                                                                             \
    } while (0)

// Asserts that `stmt` raises the runtime error `which` (a kestrim::RuntimeError).
#define EXPECT_RUNTIME_ERROR(stmt, which)                                             \
    do {                                                                              \
        try {                                                                         \
            stmt;                                                                     \
            ADD_FAILURE() << "expected runtime error";                                \
        } catch (const ::kestrim::Error& e_) {                                        \
            EXPECT_EQ(e_.Number(), static_cast<int32_t>(which)) << e_.Description();  \
        }                                                                             \
    } while (0)
