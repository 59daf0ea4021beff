// The session's kept log lines: formatted exactly as printf formats them,
// whichever way they are formatted, and written in their order.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "session/deferred_log.h"
#include "util/engine_fixture.h"

namespace {

using Strings = std::vector<std::string>;

class DeferredLogLines : public testutil::EngineFixture {};

template <class... Args>
std::string Printf(const char* szFormat, Args... args) {
    char szText[512];
    std::snprintf(szText, sizeof(szText), szFormat, args...);
    return szText;
}

// The lines of every request and answer take a shortcut past printf (only %d
// and %%); others go through it. Both give printf's text: negative numbers,
// the extremes, a literal percent sign, lines with no line end, numbers
// that meet the end of the area kept for lines, and whatever follows them.
TEST_F(DeferredLogLines, EveryLineReadsAsPrintfWritesIt) {
    Strings expected;
    {
        DeferredLog log;
        const int aValues[] = {0, 7, -1, 10, -10, 123456789, INT_MAX, INT_MIN};
        for (int iValue : aValues) {
            log.Add("线程1---recv---type=%d---,iReadStartPos=%d\n", iValue, iValue / -3);
            expected.push_back(
                Printf("线程1---recv---type=%d---,iReadStartPos=%d", iValue, iValue / -3));
        }
        log.Add("100%% of %d", 5);
        expected.push_back("100% of 5");
        log.Add("---LOGON_RESULT---iUserStatus1=%d", 1);
        expected.push_back("---LOGON_RESULT---iUserStatus1=1");
        log.Add("%d%d%d", 1, -2, 3);
        expected.push_back("1-23");
        log.Add("error---8---:%d,%d,%s %-5d|%u", 1, 2, "text", 3, 4u);
        expected.push_back("error---8---:1,2,text 3    |4");
        log.Add("%u|%-5d|%x", 4u, 3, 255u);
        expected.push_back("4|3    |ff");
        // Lines of every length from the one before: some numbers meet the
        // end of the area and the area grows under them.
        for (int i = 0; i < 400; ++i) {
            std::string pad(static_cast<size_t>(i % 37), 'p');
            log.Add("L%d %s %d-%d\n", i, pad.c_str(), -i, i * 1000003);
            expected.push_back(Printf("L%d %s %d-%d", i, pad.c_str(), -i, i * 1000003));
            log.Add("n%d=%d;", i, i * 7919);
            expected.push_back(Printf("n%d=%d;", i, i * 7919));
        }
        log.WriteOut();
        EXPECT_EQ(LogLines(), expected);
        log.Add("kept until the owner goes: %d", 42);
    }
    expected.push_back("kept until the owner goes: 42");
    EXPECT_EQ(LogLines(), expected);
}

}  // namespace
