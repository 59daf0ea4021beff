// A program with one leak and one read of uninitialised memory, which
// scripts/valgrind.sh builds and runs under the same memcheck options as the
// suites before it runs them: the options must fail it, or a leak in the
// library would pass unnoticed too.
#include <cstdio>
#include <cstdlib>

namespace {

// Out of the optimiser's sight, so that the block and the read stay.
void* volatile g_pBlock = nullptr;

}  // namespace

int main() {
    g_pBlock = std::malloc(64);
    int* pNumbers = static_cast<int*>(std::malloc(4 * sizeof(int)));
    if (pNumbers[2] > 0) std::puts("a value nobody wrote");  // uninitialised
    std::free(pNumbers);
    g_pBlock = nullptr;  // the 64-byte block is now definitely lost
    return 0;
}
