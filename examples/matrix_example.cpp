// A short tour: build a matrix, print it, watch progress events, meet an error.
#include <iostream>

#include "kestrim/Matrix.h"

namespace {

class PrintingHandler : public kestrim::MatrixEvents {
public:
    void OnProgress(const std::string& operation, float percent, bool& /*cancel*/) override {
        std::cout << "  OnProgress(" << operation << ", " << percent << ")\n";
    }
    void Done(const std::string& operation) override { std::cout << "  Done(" << operation << ")\n"; }
};

std::string Visible(std::string text) {
    // Show the description's carriage returns as line breaks on a terminal.
    for (auto& c : text)
        if (c == '\r') c = '\n';
    return text;
}

}  // namespace

int main() {
    using kestrim::Matrix;
    auto a = Matrix::New();
    a->Size(2, 2);
    a->SetItem(0, 0, 1.0);
    a->SetItem(0, 1, -2.5);
    a->SetItem(1, 0, 10.0);
    std::cout << "Matrix version " << a->Version() << "\n" << a->GetString();

    std::cout << "FillRandom(0, 10, 1) with events on:\n";
    a->Connect(std::make_shared<PrintingHandler>());
    a->SetFireEvents(true);
    a->FillRandom(0, 10, 1);
    std::cout << a->GetString(1);

    std::cout << "Reading element (5, 0) of a 2 x 2 matrix:\n";
    try {
        a->Item(5, 0);
    } catch (const kestrim::Error& e) {
        std::cout << "  Number " << e.Number() << ", HelpContext " << e.HelpContext() << "\n"
                  << Visible(e.Description()) << "\n  Help file: " << e.HelpFile() << "\n";
    }
    return 0;
}
