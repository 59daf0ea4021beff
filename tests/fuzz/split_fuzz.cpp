// The field splitter with any text, separator and limit, against a plain
// reference splitter: runs of separators count as one, there are no empty
// fields, and at the limit the last field keeps the rest of the text
// without its trailing separators. Also:
//   - the field array is written only within the limit (it is allocated to
//     exactly the limit, so the address sanitizer sees a write past it);
//   - every field lies inside the text, in order, without overlapping, and
//     ends at a NUL inside the text;
//   - the call changes the text only by putting NULs where separators were.
//
// Input: the limit (a signed byte), the separator, then the text (up to its
// first NUL, as the splitter reads it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "support/quorvex.h"

namespace {

std::vector<std::string> ReferenceSplit(const std::string& text, char cSep, int iLimit) {
    std::vector<std::string> fields;
    if (iLimit < 1 || text.empty()) return fields;
    if (cSep == '\0') return {text};
    size_t i = 0;
    for (;;) {
        while (i < text.size() && text[i] == cSep) ++i;
        if (i == text.size()) break;
        if (static_cast<int>(fields.size()) == iLimit - 1) {
            size_t iEnd = text.find_last_not_of(cSep);
            fields.push_back(text.substr(i, iEnd + 1 - i));
            break;
        }
        size_t iEnd = text.find(cSep, i);
        if (iEnd == std::string::npos) iEnd = text.size();
        fields.push_back(text.substr(i, iEnd - i));
        i = iEnd;
    }
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t iSize) {
    fuzzref::InputReader input(pData, iSize);
    int iLimit = static_cast<int8_t>(input.Byte());
    char cSep = static_cast<char>(input.Byte());
    std::string raw = input.Rest();
    std::string text = raw.substr(0, raw.find('\0'));

    size_t iBytes = text.size() + 1;
    char* szText = static_cast<char*>(std::malloc(iBytes));
    std::memcpy(szText, text.c_str(), iBytes);
    size_t iSlots = iLimit > 0 ? static_cast<size_t>(iLimit) : 1;
    char** ppFields = static_cast<char**>(std::malloc(iSlots * sizeof(char*)));
    for (size_t i = 0; i < iSlots; ++i) ppFields[i] = nullptr;

    int iCount = split_CharLine(ppFields, iLimit, szText, cSep);
    std::vector<std::string> expected = ReferenceSplit(text, cSep, iLimit);

    FUZZ_CHECK(iCount == static_cast<int>(expected.size()), "%d fields, expected %zu (limit %d)",
               iCount, expected.size(), iLimit);
    const char* pEnd = szText + text.size();  // the terminator
    const char* pAfterLast = szText;
    for (int i = 0; i < iCount; ++i) {
        const char* pField = ppFields[i];
        FUZZ_CHECK(pField >= pAfterLast && pField <= pEnd, "field %d lies outside the text", i);
        const void* pNul = std::memchr(pField, '\0', static_cast<size_t>(pEnd - pField) + 1);
        FUZZ_CHECK(pNul != nullptr, "field %d is not terminated inside the text", i);
        std::string field(pField);
        FUZZ_CHECK(field == expected[i], "field %d \"%s\", expected \"%s\"", i, field.c_str(),
                   expected[i].c_str());
        FUZZ_CHECK(!field.empty(), "field %d is empty", i);
        pAfterLast = pField + field.size() + 1;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        FUZZ_CHECK(szText[i] == text[i] || (szText[i] == '\0' && text[i] == cSep),
                   "byte %zu changed from %d to %d", i, text[i], szText[i]);
    }
    FUZZ_CHECK(szText[text.size()] == '\0', "the terminator changed");

    // Null arguments are refused and touch nothing.
    if (iLimit > 0) {
        FUZZ_CHECK(split_CharLine(nullptr, iLimit, szText, cSep) == 0, "null field array");
        FUZZ_CHECK(split_CharLine(ppFields, iLimit, nullptr, cSep) == 0, "null text");
    }
    std::free(ppFields);
    std::free(szText);
    return 0;
}
