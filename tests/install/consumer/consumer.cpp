// A C++ game on a host without windows: a stand-in window named with
// SetMessageWnd, which links under its C++ name. It then lists the library's
// objects that the process mapped, for the test to check where each came
// from. Exits 0 when every check holds.
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "vorel/vorel.h"

namespace {

int g_failures = 0;

void Expect(const char* what, bool holds) {
    std::printf("%s  %s\n", holds ? "ok  " : "FAIL", what);
    if (!holds) ++g_failures;
}

intptr_t WindowProc(HWND, unsigned int, uintptr_t, intptr_t) { return 0; }

// Every mapped file whose name starts with libVorel or libQuorvex.
std::set<std::string> LibraryObjects() {
    std::set<std::string> objects;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::string::size_type slash = line.find('/');
        if (slash == std::string::npos) continue;
        std::string path = line.substr(slash);
        std::string name = path.substr(path.rfind('/') + 1);
        if (name.compare(0, 8, "libVorel") == 0 || name.compare(0, 10, "libQuorvex") == 0) {
            objects.insert(path);
        }
    }
    return objects;
}

}  // namespace

int main() {
    int user = 0;
    HWND hWnd = VorelCreateWindow(WindowProc, &user);
    Expect("VorelCreateWindow gives a window", hWnd != nullptr);
    Expect("VorelGetWindowUser gives back the creator's pointer",
           VorelGetWindowUser(hWnd) == &user);
    Expect("SetMessageWnd takes the window", SetMessageWnd(hWnd) == 1);
    VorelDestroyWindow(hWnd);
    Expect("SetMessageWnd refuses the destroyed window", SetMessageWnd(hWnd) == 0);
    for (const std::string& object : LibraryObjects()) std::printf("object %s\n", object.c_str());
    return g_failures == 0 ? 0 : 1;
}
