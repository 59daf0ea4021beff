#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "support/quorvex.h"

namespace {

// Splits a copy of szText and returns the fields as strings.
std::vector<std::string> Split(const std::string& sText, int iLimit, char cSep = ' ') {
    std::vector<char> text(sText.begin(), sText.end());
    text.push_back('\0');
    std::vector<char*> fields(static_cast<size_t>(iLimit) + 1, nullptr);
    int n = split_CharLine(fields.data(), iLimit, text.data(), cSep);
    EXPECT_EQ(fields[static_cast<size_t>(iLimit)], nullptr) << "wrote past the limit";
    return std::vector<std::string>(fields.begin(), fields.begin() + n);
}

using Fields = std::vector<std::string>;

TEST(SupportSplit, RunsLeadingAndTrailingSeparatorsMakeNoEmptyField) {
    EXPECT_EQ(Split("201 12 alice pw", 100), (Fields{"201", "12", "alice", "pw"}));
    EXPECT_EQ(Split("   201   12  alice   ", 100), (Fields{"201", "12", "alice"}));
    EXPECT_EQ(Split("a,, b,c,", 100, ','), (Fields{"a", " b", "c"}));
}

TEST(SupportSplit, EmptyAndSeparatorOnlyTextsHaveNoField) {
    for (int iLimit : {1, 2, 100}) {
        EXPECT_TRUE(Split("", iLimit).empty());
        EXPECT_TRUE(Split("      ", iLimit).empty());
    }
}

TEST(SupportSplit, LastFieldAtLimitKeepsRestWithoutTrailingSeparators) {
    EXPECT_EQ(Split("202 7  ok  0 extra  ", 3), (Fields{"202", "7", "ok  0 extra"}));
    EXPECT_EQ(Split("  a  b c  ", 1), (Fields{"a  b c"}));
    EXPECT_EQ(Split("a b c   ", 3), (Fields{"a", "b", "c"}));
    EXPECT_EQ(Split("a b", 3), (Fields{"a", "b"}));
}

TEST(SupportSplit, RefusesNullArgumentsAndLimitBelowOne) {
    char szText[] = "a b";
    char* fields[2] = {nullptr, nullptr};
    EXPECT_EQ(split_CharLine(nullptr, 2, szText, ' '), 0);
    EXPECT_EQ(split_CharLine(fields, 2, nullptr, ' '), 0);
    EXPECT_EQ(split_CharLine(fields, 0, szText, ' '), 0);
    EXPECT_EQ(split_CharLine(fields, -1, szText, ' '), 0);
    EXPECT_STREQ(szText, "a b");
    EXPECT_EQ(fields[0], nullptr);
}

// With '\0' as separator nothing inside a text separates, and the scan must
// stop at the terminator instead of skipping it as a separator.
TEST(SupportSplit, NulSeparatorStopsAtTheTerminator) {
    EXPECT_EQ(Split("a b", 5, '\0'), (Fields{"a b"}));
    char text[] = {'\0', '\0', 'z', 'z', '\0'};
    char* fields[4] = {};
    EXPECT_EQ(split_CharLine(fields, 4, text, '\0'), 0);
}

TEST(SupportSplit, LongestRequestTextWithFieldLimit) {
    // 65,520 bytes: 32,760 one-letter fields each followed by a space.
    std::string sText;
    for (int i = 0; sText.size() < 65520; ++i) sText += std::string(1, 'a' + i % 26) + " ";
    ASSERT_EQ(sText.size(), 65520u);
    Fields fields = Split(sText, 5000);
    ASSERT_EQ(fields.size(), 5000u);
    EXPECT_EQ(fields[4998], std::string(1, 'a' + 4998 % 26));
    EXPECT_EQ(fields[4999], sText.substr(2 * 4999, 65520 - 2 * 4999 - 1));

    Fields whole = Split(std::string(65520, 'x'), 5000);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].size(), 65520u);
}

// The library finds fields without cutting (an answer on its way to the
// game is neither copied nor cut): the same count and the same fields as
// the splitter, at every limit, for texts ended by their length or by a
// zero byte inside them.
TEST(SupportSplit, FindingFieldsWithoutCuttingAgreesWithTheSplitter) {
    const std::string texts[] = {"201 12 alice pw",
                                 "   201   12  alice   ",
                                 "",
                                 "      ",
                                 "202 7  ok  0 extra  ",
                                 "x",
                                 std::string("a b\0c d", 7),
                                 "a,, b,c,"};
    for (const std::string& text : texts) {
        for (size_t iLength = 0; iLength <= text.size(); ++iLength) {
            for (int iLimit : {1, 2, 3, 4, 100}) {
                for (char cSep : {' ', ','}) {
                    Fields cut = Split(text.substr(0, iLength).c_str(), iLimit, cSep);
                    TextField found[100];
                    int n = FindFields(text.data(), iLength, cSep, iLimit, found, 100);
                    Fields seen;
                    for (int i = 0; i < n; ++i)
                        seen.emplace_back(found[i].pStart, found[i].iLength);
                    EXPECT_EQ(seen, cut) << testing::PrintToString(text.substr(0, iLength))
                                         << " limit " << iLimit << " separator " << cSep;
                }
            }
        }
    }
    // Only the fields asked for are written; the count goes on.
    TextField one[1];
    EXPECT_EQ(FindFields("a b c", 5, ' ', 5000, one, 1), 3);
    EXPECT_EQ(std::string(one[0].pStart, one[0].iLength), "a");
    EXPECT_EQ(FindFields("a b c", 5, ' ', 5000, nullptr, 0), 3);
}

}  // namespace
