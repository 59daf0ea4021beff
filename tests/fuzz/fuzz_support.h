// Helpers shared by the fuzz targets: a check that stops the run with a
// message (libFuzzer keeps the input that did it), and the small reference
// readings of texts that the models compare the library against. They are
// written apart from the library's own code on purpose.
#pragma once

#include <stdlib.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Aborts with the failed condition and a printf-style explanation.
#define FUZZ_CHECK(cond, ...)                                                               \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                              \
            std::fprintf(stderr, "\n");                                                     \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

namespace fuzzref {

// Reads input bytes front to back; past the end every read gives zeros.
class InputReader {
public:
    InputReader(const uint8_t* pData, size_t iSize) : p_(pData), iLeft_(iSize) {}

    uint8_t Byte() {
        if (iLeft_ == 0) return 0;
        --iLeft_;
        return *p_++;
    }
    uint16_t Word() {
        uint16_t w = Byte();
        return static_cast<uint16_t>(w | (Byte() << 8));
    }
    std::string Bytes(size_t n) {
        if (n > iLeft_) n = iLeft_;
        std::string out(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        iLeft_ -= n;
        return out;
    }
    std::string Rest() { return Bytes(iLeft_); }

private:
    const uint8_t* p_;
    size_t iLeft_;
};

// A decimal number as atoi reads it (white space, sign, digits), held to
// the int range instead of overflowing.
inline int Decimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) bNegative = text[i++] == '-';
    int64_t iValue = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (iValue <= int64_t{INT_MAX} + 1) iValue = iValue * 10 + (text[i] - '0');
    }
    if (bNegative) iValue = -iValue;
    if (iValue > INT_MAX) return INT_MAX;
    if (iValue < INT_MIN) return INT_MIN;
    return static_cast<int>(iValue);
}

// The words of a text separated by cSep: runs of it count as one and it
// makes no empty word. No limit.
inline std::vector<std::string> Words(const std::string& text, char cSep = ' ') {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == cSep) ++i;
        if (i == text.size()) break;
        size_t iEnd = text.find(cSep, i);
        if (iEnd == std::string::npos) iEnd = text.size();
        words.push_back(text.substr(i, iEnd - i));
        i = iEnd;
    }
    return words;
}

// A new private directory named after szTag, in memory where the system
// offers it (targets that write a file for every input run many times
// faster there), else under $TMPDIR or /tmp. Empty on failure.
inline std::string MakeTempDir(const char* szTag) {
    const char* szTmp = std::getenv("TMPDIR");
    for (const char* szBase : {"/dev/shm", szTmp, "/tmp"}) {
        if (szBase == nullptr) continue;
        std::string pattern = std::string(szBase) + "/vorel-" + szTag + "-XXXXXX";
        std::vector<char> dir(pattern.begin(), pattern.end());
        dir.push_back('\0');
        if (mkdtemp(dir.data()) != nullptr) return dir.data();
    }
    return std::string();
}

// Little-endian numbers at an offset of a byte string.
inline uint32_t Le32(const std::string& bytes, size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 3])) << 24;
}
inline int Le16Signed(const std::string& bytes, size_t i) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) |
                                                      static_cast<uint8_t>(bytes[i + 1]) << 8));
}

}  // namespace fuzzref
