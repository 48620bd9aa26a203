// The compiled automation client: runs every check group against the
// registered server and ends with "N passed, N failed".
// Usage: automation_client <path of KestrimMatrix.dll as registered>
#include <cstdio>
#include <cstring>

#include "ClientSupport.h"

namespace client {

static std::wstring g_dllPath;
const std::wstring& DllPath() { return g_dllPath; }

}  // namespace client

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: automation_client <KestrimMatrix.dll>\n");
        return 2;
    }
    client::g_dllPath = argv[1];
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        std::printf("CoInitializeEx failed\n");
        return 1;
    }
    // The registration group unregisters and registers again; it runs last.
    auto& groups = client::Groups();
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& group : groups) {
            const bool last = std::strcmp(group.name, "Registration") == 0;
            if (last != (pass == 1)) continue;
            const int before = client::Results().failed;
            group.body();
            std::printf("%-20s %s\n", group.name, client::Results().failed == before ? "ok" : "FAILED");
        }
    }
    CoUninitialize();
    std::printf("%d passed, %d failed\n", client::Results().passed, client::Results().failed);
    return client::Results().failed == 0 ? 0 : 1;
}
