// The two events of a Matrix. A handler is connected to one object with
// Matrix::Connect and receives that object's events synchronously, inside
// the raising operation, in connection order.
#pragma once

#include <string>

namespace kestrim {

class MatrixEvents {
public:
    virtual ~MatrixEvents() = default;
    // Raised at an operation's progress points. Percent runs from 0 to 100.
    // Cancel belongs to the running operation: it starts false, is never
    // reset during the call, and the operation stops once it is true.
    virtual void OnProgress(const std::string& Operation, float Percent, bool& Cancel) = 0;
    // Raised once when an operation has finished and its result is in place.
    virtual void Done(const std::string& Operation) = 0;
};

}  // namespace kestrim
