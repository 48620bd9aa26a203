// A program outside the project that uses the installed library: solves a
// 2 x 2 system and checks the answer, so a broken install fails visibly.
#include <cmath>
#include <iostream>

#include "kestrim/Matrix.h"

int main() {
    auto a = kestrim::Matrix::New();
    a->Size(2, 2);
    a->SetItem(0, 0, 4.0);
    a->SetItem(0, 1, 1.0);
    a->SetItem(1, 0, 1.0);
    a->SetItem(1, 1, 3.0);
    auto b = kestrim::Matrix::New();
    b->Size(2, 1);
    b->SetItem(0, 0, 1.0);
    b->SetItem(1, 0, 2.0);
    auto x = a->SolveGauss(b);
    // 4x + y = 1, x + 3y = 2  =>  x = 1/11, y = 7/11
    const bool ok = std::fabs(x->Item(0, 0) - 1.0 / 11) < 1e-15 && std::fabs(x->Item(1, 0) - 7.0 / 11) < 1e-15;
    std::cout << "kestrim matrix " << a->Version() << ": x = (" << x->Item(0, 0) << ", " << x->Item(1, 0)
              << ") " << (ok ? "ok" : "WRONG") << "\n";
    try {
        a->Item(5, 0);
        return 1;
    } catch (const kestrim::Error& e) {
        if (e.Number() != static_cast<int32_t>(0x80040527)) return 1;
    }
    return ok ? 0 : 1;
}
