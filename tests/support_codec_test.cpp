#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/quorvex.h"

namespace {

using Codec = TextEncodeDecode;

constexpr char kKey[] = "K3y-7f2a9c";
constexpr unsigned kRequestCap = 10224;  // the client's encoding area
constexpr unsigned kKeyCap = 40;         // the client's session key buffer

// Encoded length of an n-byte text: base64 of n + 4 bytes, unpadded.
unsigned EncodedLength(unsigned n) {
    static const unsigned kTail[3] = {0, 2, 3};
    return (n + 4) / 3 * 4 + kTail[(n + 4) % 3];
}

// Exact-size heap buffers, so that any write past the capacity trips ASan.
std::string Encode(Codec& codec, const char* szKey, const std::string& sPlain, unsigned dwCap,
                   int iMode) {
    std::vector<char> out(dwCap);
    int n = codec.DataEncode(szKey, sPlain.data(), static_cast<unsigned>(sPlain.size()), out.data(),
                             dwCap, iMode);
    return n > 0 ? std::string(out.data(), static_cast<size_t>(n)) : std::string();
}

// Returns the result code; sOut receives the decoded text (terminator
// checked) or, after a failure, whatever the buffer holds up to its NUL.
int Decode(Codec& codec, const char* szKey, const std::string& sText, unsigned dwCap, int iMode,
           std::string* psOut = nullptr) {
    std::vector<char> out(dwCap, 'X');
    int n = codec.DataDecode(szKey, sText.data(), static_cast<unsigned>(sText.size()),
                             dwCap ? out.data() : nullptr, dwCap, iMode);
    if (n > 0) {
        EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
        if (psOut) *psOut = std::string(out.data(), static_cast<size_t>(n));
    } else if (dwCap > 0) {
        EXPECT_EQ(out[0], '\0') << "a failed decode must leave the empty text";
    }
    return n;
}

std::string RandomBytes(std::mt19937& rng, size_t n, bool bNoNul) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(bNoNul ? 1 + rng() % 255 : rng() % 256);
    return s;
}

bool IsAlphabet(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

TEST(SupportCodec, ProtocolDocumentVectors) {
    struct Vector {
        int iMode;
        const char* szKey;
        std::string sPlain;
        const char* szEncoded;
    } vectors[] = {
        {0, nullptr, "K3y-7f2a9c", "1gVQLqMb8q-oeEU2rFQ"},
        {0, nullptr, "0123456789abcdefghijABCDEFGHIJ!#$%&()*+",
         "rQcbMKBI9vmpImh303lURmIFmlYhTXPm00359DoUXHN123uhuvZYaYxSIQ"},
        {2, kKey, "A", "7z8vIQM"},
        {2, kKey, "201 12 alice s3cret", "nISA2OFtTf5R8C6yjyKdP27rLEWUtW0"},
        {2, kKey, "205 7 \xc4\xe3\xba\xc3 0", "nISE2Od_qXyHWm3nJK_rDA"},
    };
    Codec codec;
    for (const Vector& v : vectors) {
        EXPECT_EQ(Encode(codec, v.szKey, v.sPlain, kRequestCap, v.iMode), v.szEncoded);
        std::string sOut;
        EXPECT_GT(Decode(codec, v.szKey, v.szEncoded, kKeyCap, v.iMode, &sOut), 0);
        EXPECT_EQ(sOut, v.sPlain);
    }
    // Mode 0 is mode 2 under the built-in key text.
    EXPECT_EQ(Encode(codec, "keyless-codec-v1", "K3y-7f2a9c", 64, 2), "1gVQLqMb8q-oeEU2rFQ");
}

TEST(SupportCodec, RoundTripsEveryLengthInBothModes) {
    std::mt19937 rng(7);
    Codec codec;
    for (unsigned n = 1; n <= 700; ++n) {
        for (int iMode : {2, 0}) {
            std::string sPlain = RandomBytes(rng, n, iMode == 0);
            std::string sText = Encode(codec, kKey, sPlain, EncodedLength(n), iMode);
            ASSERT_EQ(sText.size(), EncodedLength(n)) << n;
            ASSERT_EQ(codec.LastError(), Codec::kErrorNone);
            for (char c : sText) ASSERT_TRUE(IsAlphabet(c)) << n;
            std::string sOut;
            ASSERT_EQ(Decode(codec, kKey, sText, n + 1, iMode, &sOut), static_cast<int>(n));
            ASSERT_EQ(sOut, sPlain);
        }
    }
    std::string sLongest = RandomBytes(rng, 65520, false);
    std::string sOut;
    EXPECT_EQ(Decode(codec, kKey, Encode(codec, kKey, sLongest, 87366, 2), 65521, 2, &sOut), 65520);
    EXPECT_EQ(sOut, sLongest);
}

TEST(SupportCodec, CapacityBoundsAreExact) {
    Codec codec;
    std::string sFits(7664, 'r'), sTooLong(7665, 'r');
    EXPECT_EQ(Encode(codec, kKey, sFits, kRequestCap, 2).size(), kRequestCap);
    std::vector<char> out(kRequestCap, '#');
    EXPECT_LE(codec.DataEncode(kKey, sTooLong.data(), 7665, out.data(), kRequestCap, 2), 0);
    EXPECT_EQ(codec.LastError(), Codec::kErrorCapacity);
    EXPECT_EQ(std::string(out.begin(), out.end()), std::string(kRequestCap, '#'));
    for (unsigned n = 1; n < 64; ++n) {
        std::string sPlain(n, 'k');
        EXPECT_TRUE(Encode(codec, kKey, sPlain, EncodedLength(n) - 1, 2).empty()) << n;
    }
    // A key of 39 bytes fits the 40-byte buffer, one of 40 does not.
    std::string sKey39(39, 'k'), sKey40(40, 'k');
    EXPECT_EQ(Decode(codec, nullptr, Encode(codec, nullptr, sKey39, 64, 0), kKeyCap, 0), 39);
    std::string sText40 = Encode(codec, nullptr, sKey40, 64, 0);
    EXPECT_LE(Decode(codec, nullptr, sText40, kKeyCap, 0), 0);
    EXPECT_EQ(codec.LastError(), Codec::kErrorCapacity);
    EXPECT_EQ(Decode(codec, nullptr, sText40, kKeyCap + 1, 0), 40);
}

TEST(SupportCodec, WrongKeyOrModeFailsTheCheck) {
    Codec codec;
    std::string sText = Encode(codec, kKey, "201 12 alice s3cret", kRequestCap, 2);
    for (const char* szOther : {"K3y-7f2a9", "K3y-7f2a9d", "k3y-7f2a9c", "K3y-7f2a9cc"}) {
        EXPECT_LE(Decode(codec, szOther, sText, kRequestCap, 2), 0) << szOther;
        EXPECT_EQ(codec.LastError(), Codec::kErrorCheck) << szOther;
    }
    EXPECT_LE(Decode(codec, nullptr, sText, kRequestCap, 0), 0);
    EXPECT_LE(Decode(codec, kKey, Encode(codec, nullptr, "K3y-7f2a9c", 64, 0), 64, 2), 0);
}

TEST(SupportCodec, AnyChangedOrMissingCharacterFails) {
    std::mt19937 rng(11);
    Codec codec;
    for (unsigned n : {1u, 2u, 3u, 4u, 20u, 39u}) {
        for (int iMode : {0, 2}) {
            std::string sText = Encode(codec, kKey, RandomBytes(rng, n, true), 64, iMode);
            for (size_t i = 0; i < sText.size(); ++i) {
                for (int v = 0; v < 256; ++v) {
                    if (static_cast<char>(v) == sText[i]) continue;
                    std::string sBad = sText;
                    sBad[i] = static_cast<char>(v);
                    ASSERT_LE(Decode(codec, kKey, sBad, 64, iMode), 0) << n << " " << i << " " << v;
                }
            }
            for (size_t len = 0; len < sText.size(); ++len) {
                ASSERT_LE(Decode(codec, kKey, sText.substr(0, len), 64, iMode), 0) << len;
            }
        }
    }
}

TEST(SupportCodec, KeylessTextsAreNonEmptyTextsWithoutNul) {
    Codec codec;
    std::string sWithNul("ab\0cd", 5);
    std::vector<char> out(64);
    EXPECT_LE(codec.DataEncode(nullptr, sWithNul.data(), 5, out.data(), 64, 0), 0);
    EXPECT_EQ(codec.LastError(), Codec::kErrorArgument);
    // Made under the built-in key in mode 2, which the mode 0 encoder refuses.
    std::string sText = Encode(codec, "keyless-codec-v1", sWithNul, 64, 2);
    EXPECT_LE(Decode(codec, nullptr, sText, kKeyCap, 0), 0);
    EXPECT_EQ(codec.LastError(), Codec::kErrorFormat);
    EXPECT_EQ(Decode(codec, "keyless-codec-v1", sText, kKeyCap, 2), 5);
    // Nothing shorter than 7 characters holds a byte of text and the check.
    for (const char* szShort : {"", "A", "AA", "AAA", "AAAA", "AAAAAA"}) {
        EXPECT_LE(Decode(codec, nullptr, szShort, kKeyCap, 0), 0) << szShort;
        EXPECT_EQ(codec.LastError(), Codec::kErrorFormat);
    }
}

TEST(SupportCodec, RefusesBadArgumentsAndRecordsEveryResult) {
    Codec codec;
    EXPECT_EQ(codec.LastError(), Codec::kErrorNone);
    char out[64];
    const std::string s40(40, 'k');
    struct Case {
        const char* szKey;
        const char* pSrc;
        unsigned dwLen;
        char* pDst;
        unsigned dwCap;
        int iMode;
    } cases[] = {
        {kKey, nullptr, 3, out, 64, 2}, {kKey, "abc", 3, nullptr, 64, 2},
        {kKey, "abc", 0, out, 64, 2},   {nullptr, "abc", 3, out, 64, 2},
        {"", "abc", 3, out, 64, 2},     {s40.c_str(), "abc", 3, out, 64, 2},
        {kKey, "abc", 3, out, 64, 1},   {kKey, "abc", 3, out, 64, 3},
    };
    for (const Case& c : cases) {
        EXPECT_LE(codec.DataEncode(c.szKey, c.pSrc, c.dwLen, c.pDst, c.dwCap, c.iMode), 0);
        EXPECT_EQ(codec.LastError(), Codec::kErrorArgument);
        EXPECT_LE(codec.DataDecode(c.szKey, c.pSrc, c.dwLen, c.pDst, c.dwCap, c.iMode), 0);
        EXPECT_NE(codec.LastError(), Codec::kErrorNone);
    }
    EXPECT_LE(codec.DataDecode(kKey, "7z8vIQM", 7, out, 0, 2), 0);
    EXPECT_EQ(codec.LastError(), Codec::kErrorArgument);
    for (const char* szForeign : {"7z8vIQ=", "7z8v IQ", "7z8v+QM", "7z8v/QM"}) {
        EXPECT_LE(Decode(codec, kKey, szForeign, 64, 2), 0);
        EXPECT_EQ(codec.LastError(), Codec::kErrorFormat) << szForeign;
    }
    EXPECT_EQ(Decode(codec, kKey, "7z8vIQM", 64, 2), 1);
    EXPECT_EQ(codec.LastError(), Codec::kErrorNone);
}

}  // namespace
