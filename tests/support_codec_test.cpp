#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
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
    EXPECT_LE(codec.DataDecode(kKey, nullptr, 7, out, 64, 2), 0);  // a length of a good text
    EXPECT_EQ(codec.LastError(), Codec::kErrorArgument);
    for (const char* szForeign : {"7z8vIQ=", "7z8v IQ", "7z8v+QM", "7z8v/QM"}) {
        EXPECT_LE(Decode(codec, kKey, szForeign, 64, 2), 0);
        EXPECT_EQ(codec.LastError(), Codec::kErrorFormat) << szForeign;
    }
    EXPECT_EQ(Decode(codec, kKey, "7z8vIQM", 64, 2), 1);
    EXPECT_EQ(codec.LastError(), Codec::kErrorNone);
}

// ---- against a byte-at-a-time reference -------------------------------------
// The codec works in blocks of bytes and characters. This reference does
// what docs/protocol.md says one byte, one bit and one character at a time,
// with the codec's argument checks and its writes to the destination.

namespace reference {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

class Stream {
public:
    explicit Stream(const std::string& sKey) {
        for (unsigned char c : sKey) qwState = (qwState ^ c) * 0x100000001b3ull;
    }
    uint8_t Next() {
        if (iUsed == 8) {
            uint64_t z = (qwState += 0x9e3779b97f4a7c15ull);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            qwOutput = z ^ (z >> 31);
            iUsed = 0;
        }
        return static_cast<uint8_t>(qwOutput >> (8 * iUsed++));
    }

private:
    uint64_t qwState = 0xcbf29ce484222325ull;
    uint64_t qwOutput = 0;
    int iUsed = 8;
};

uint32_t Crc32(const std::string& s) {
    uint32_t dwCrc = 0xFFFFFFFFu;
    for (unsigned char c : s) {
        dwCrc ^= c;
        for (int k = 0; k < 8; ++k) dwCrc = (dwCrc & 1u) ? (dwCrc >> 1) ^ 0xEDB88320u : dwCrc >> 1;
    }
    return ~dwCrc;
}

// The key text of a mode, or false where the codec refuses the arguments.
bool KeyOf(const char* szKey, int iMode, std::string* psKey) {
    if (iMode == 0) {
        *psKey = "keyless-codec-v1";
        return true;
    }
    if (iMode != 2 || szKey == nullptr) return false;
    size_t n = 0;
    while (n < 40 && szKey[n] != '\0') ++n;
    if (n == 0 || n == 40) return false;
    *psKey = std::string(szKey, n);
    return true;
}

int Encode(const char* szKey, const char* pSrc, unsigned dwLen, char* pDst, unsigned dwCap,
           int iMode, int* piError) {
    std::string sKey;
    if (pSrc == nullptr || pDst == nullptr || dwLen == 0 || !KeyOf(szKey, iMode, &sKey) ||
        (iMode == 0 && std::memchr(pSrc, '\0', dwLen) != nullptr)) {
        return *piError = Codec::kErrorArgument;
    }
    std::string sBody(pSrc, dwLen);
    uint32_t dwCrc = Crc32(sBody);
    for (int i = 0; i < 4; ++i) sBody += static_cast<char>(dwCrc >> (8 * i));
    Stream stream(sKey);
    for (char& c : sBody) c = static_cast<char>(static_cast<uint8_t>(c) ^ stream.Next());
    std::string sText;
    uint32_t dwBits = 0;
    int iBits = 0;
    for (unsigned char c : sBody) {
        dwBits = (dwBits << 8) | c;
        for (iBits += 8; iBits >= 6; iBits -= 6) sText += kAlphabet[(dwBits >> (iBits - 6)) & 63u];
    }
    if (iBits > 0) sText += kAlphabet[(dwBits << (6 - iBits)) & 63u];
    if (sText.size() > dwCap) return *piError = Codec::kErrorCapacity;
    std::memcpy(pDst, sText.data(), sText.size());
    *piError = Codec::kErrorNone;
    return static_cast<int>(sText.size());
}

int Decode(const char* szKey, const char* pSrc, unsigned dwLen, char* pDst, unsigned dwCap,
           int iMode, int* piError) {
    if (pDst != nullptr && dwCap > 0) pDst[0] = '\0';
    std::string sKey;
    if (pSrc == nullptr || pDst == nullptr || dwCap == 0 || !KeyOf(szKey, iMode, &sKey)) {
        return *piError = Codec::kErrorArgument;
    }
    size_t nBody = size_t{dwLen} * 3 / 4;
    if (dwLen % 4 == 1 || nBody < 5) return *piError = Codec::kErrorFormat;
    size_t nPlain = nBody - 4;
    if (nPlain + 1 > dwCap) return *piError = Codec::kErrorCapacity;
    int iError = Codec::kErrorNone;
    std::string sBody;
    uint32_t dwBits = 0;
    int iBits = 0;
    for (unsigned i = 0; i < dwLen && iError == Codec::kErrorNone; ++i) {
        const char* pAt = std::strchr(kAlphabet, pSrc[i]);
        if (pSrc[i] == '\0' || pAt == nullptr) {
            iError = Codec::kErrorFormat;
            break;
        }
        dwBits = (dwBits << 6) | static_cast<uint32_t>(pAt - kAlphabet);
        if ((iBits += 6) >= 8) {
            iBits -= 8;
            sBody += static_cast<char>(dwBits >> iBits);
            dwBits &= (1u << iBits) - 1;
        }
    }
    if (iError == Codec::kErrorNone && dwBits != 0) iError = Codec::kErrorFormat;
    std::string sPlain;
    if (iError == Codec::kErrorNone) {
        Stream stream(sKey);
        for (char& c : sBody) c = static_cast<char>(static_cast<uint8_t>(c) ^ stream.Next());
        sPlain = sBody.substr(0, nPlain);
        uint32_t dwStored = 0;
        for (int i = 0; i < 4; ++i)
            dwStored |= uint32_t{static_cast<uint8_t>(sBody[nPlain + i])} << (8 * i);
        if (Crc32(sPlain) != dwStored) {
            iError = Codec::kErrorCheck;
        } else if (iMode == 0 && sPlain.find('\0') != std::string::npos) {
            iError = Codec::kErrorFormat;
        }
    }
    if (iError != Codec::kErrorNone) {
        std::memset(pDst, 0, nPlain + 1);
        return *piError = iError;
    }
    std::memcpy(pDst, sPlain.data(), nPlain + 1);
    *piError = Codec::kErrorNone;
    return static_cast<int>(nPlain);
}

}  // namespace reference

// Runs the codec and the reference on the same input and on destinations
// of the same size and filling; they must agree on the result, the error
// and every byte of the destination. Buffers are allocated to their exact
// sizes (none too, but never null), so that ASan sees a stray read or
// write.
class Differential {
public:
    Differential(const char* szKey, int iMode) : szKey(szKey), iMode(iMode) {}

    // Returns the encoded text when both encode, else the empty text.
    std::string Encode(const std::string& sPlain, unsigned dwCap) {
        return Run(&Codec::DataEncode, reference::Encode, sPlain, dwCap, "encode");
    }

    void Decode(const std::string& sText, unsigned dwCap) {
        Run(&Codec::DataDecode, reference::Decode, sText, dwCap, "decode");
    }

private:
    using Method = int (Codec::*)(const char*, const char*, unsigned, char*, unsigned, int);
    using Reference = int (*)(const char*, const char*, unsigned, char*, unsigned, int, int*);

    std::string Run(Method method, Reference reference, const std::string& sIn, unsigned dwCap,
                    const char* szWhat) {
        const unsigned dwLen = static_cast<unsigned>(sIn.size());
        std::unique_ptr<char[]> in(new char[dwLen]);
        std::memcpy(in.get(), sIn.data(), dwLen);
        std::unique_ptr<char[]> out(new char[dwCap]), expected(new char[dwCap]);
        std::memset(out.get(), '#', dwCap);
        std::memset(expected.get(), '#', dwCap);
        Codec codec;
        int iResult = (codec.*method)(szKey, in.get(), dwLen, out.get(), dwCap, iMode);
        int iExpectedError = 0;
        int iExpected =
            reference(szKey, in.get(), dwLen, expected.get(), dwCap, iMode, &iExpectedError);
        const std::string sWhere = std::string(szWhat) + " mode " + std::to_string(iMode) + ", " +
                                   std::to_string(dwLen) + " bytes in, capacity " +
                                   std::to_string(dwCap);
        EXPECT_EQ(iResult, iExpected) << sWhere;
        EXPECT_EQ(codec.LastError(), iExpectedError) << sWhere;
        EXPECT_EQ(std::memcmp(out.get(), expected.get(), dwCap), 0)
            << sWhere << ": the destinations differ";
        return iResult > 0 ? std::string(out.get(), static_cast<size_t>(iResult)) : std::string();
    }

    const char* szKey;
    int iMode;
};

std::string RandomKey(std::mt19937& rng) { return RandomBytes(rng, 1 + rng() % 39, true); }

TEST(SupportCodec, BlocksMatchByteAtATimeReferenceOverLengthsKeysAndModes) {
    std::mt19937 rng(20240611);
    // Every length to 200 covers every place of a text's end within a block
    // (and every residue mod 3 and mod 8); then long texts up to 10,000,
    // the encoding area's limits among them.
    std::vector<unsigned> lengths;
    for (unsigned n = 0; n <= 200; ++n) lengths.push_back(n);
    for (unsigned n : {7663u, 7664u, 7665u, 9999u, 10000u}) lengths.push_back(n);
    for (int i = 0; i < 60; ++i) lengths.push_back(201 + rng() % 9800);
    for (unsigned n : lengths) {
        for (int iMode : {0, 2}) {
            std::string sKey = RandomKey(rng);
            Differential diff(sKey.c_str(), iMode);
            // Mostly texts the mode takes; now and then a keyless text
            // with a NUL, which both must refuse alike.
            std::string sPlain = RandomBytes(rng, n, iMode == 0 && rng() % 8 != 0);
            unsigned dwExact = n == 0 ? 0 : EncodedLength(n);
            std::string sText = diff.Encode(sPlain, dwExact + rng() % 3);
            if (dwExact > 0) diff.Encode(sPlain, dwExact - 1);
            if (!sText.empty()) {
                diff.Decode(sText, n + 1 + rng() % 3);
                diff.Decode(sText, n);  // one byte short of the terminator
            }
            ASSERT_FALSE(HasFailure()) << "length " << n << " mode " << iMode;
        }
    }
}

TEST(SupportCodec, BlocksMatchByteAtATimeReferenceOnDamagedTexts) {
    std::mt19937 rng(77);
    std::vector<unsigned> lengths;
    for (unsigned n = 1; n <= 60; ++n) lengths.push_back(n);
    for (int i = 0; i < 40; ++i) lengths.push_back(61 + rng() % 9900);
    for (unsigned n : lengths) {
        for (int iMode : {0, 2}) {
            std::string sKey = RandomKey(rng);
            Differential diff(sKey.c_str(), iMode);
            std::string sText = diff.Encode(RandomBytes(rng, n, iMode == 0), EncodedLength(n));
            ASSERT_EQ(sText.size(), EncodedLength(n));
            const unsigned dwCap = n + 1;
            for (int i = 0; i < 12; ++i) {
                // A character changed anywhere: to any byte, or to another
                // character of the alphabet (which only the check catches).
                std::string sBad = sText;
                size_t iAt = rng() % sBad.size();
                char cNew =
                    rng() % 2 ? static_cast<char>(rng() % 256) : reference::kAlphabet[rng() % 64];
                if (cNew == sBad[iAt]) continue;
                sBad[iAt] = cNew;
                diff.Decode(sBad, dwCap);
            }
            // The last character's unused low bits set.
            std::string sLoose = sText;
            const char* pLast = std::strchr(reference::kAlphabet, sLoose.back());
            sLoose.back() = reference::kAlphabet[(pLast - reference::kAlphabet) | 1];
            diff.Decode(sLoose, dwCap);
            // Cut short or lengthened by 1 to 5 characters, the decoded length
            // changing with it (and 1 left over a group now and then).
            for (size_t k = 1; k <= 5 && k < sText.size(); ++k) {
                diff.Decode(sText.substr(0, sText.size() - k), dwCap);
                diff.Decode(sText + std::string(k, 'A'), dwCap + 4);
            }
            // Another key, and a key of the other mode.
            Differential(RandomKey(rng).c_str(), iMode).Decode(sText, dwCap);
            Differential(sKey.c_str(), 2 - iMode).Decode(sText, dwCap);
            ASSERT_FALSE(HasFailure()) << "length " << n << " mode " << iMode;
        }
    }
}

TEST(SupportCodec, BlocksMatchByteAtATimeReferenceOnBadCharactersWorthNothingAround) {
    // Characters worth zero around a bad one: nothing but the bad
    // character's own marking tells it apart. 83 characters are two whole
    // blocks and a last one of four groups and a partial group.
    Differential diff(kKey, 2);
    const std::string sZeros(83, 'A');
    for (size_t i = 0; i < sZeros.size(); ++i) {
        for (char c : {'*', '=', '\0', '\x80', '\xff'}) {
            std::string sBad = sZeros;
            sBad[i] = c;
            diff.Decode(sBad, 64);
        }
    }
    ASSERT_FALSE(HasFailure());
}

TEST(SupportCodec, BlocksMatchByteAtATimeReferenceOnKeylessTextsWithNul) {
    // Made under the built-in key in mode 2, which the mode 0 encoder
    // refuses; a NUL anywhere in a long text.
    std::mt19937 rng(5);
    Differential keyed("keyless-codec-v1", 2), keyless(nullptr, 0);
    for (unsigned n : {30u, 100u, 5000u}) {
        for (int i = 0; i < 4; ++i) {
            std::string sPlain = RandomBytes(rng, n, true);
            sPlain[rng() % n] = '\0';
            keyless.Decode(keyed.Encode(sPlain, EncodedLength(n)), n + 1);
        }
    }
    ASSERT_FALSE(HasFailure());
}

TEST(SupportCodec, BlocksMatchByteAtATimeReferenceOnBadArguments) {
    const std::string s39(39, 'k'), s40(40, 'k');
    std::string sText;
    {
        Differential diff(s39.c_str(), 2);
        sText = diff.Encode(std::string(100, 'p'), 200);
        ASSERT_EQ(sText.size(), EncodedLength(100));
    }
    for (const char* szKey : {static_cast<const char*>(nullptr), "", s39.c_str(), s40.c_str()}) {
        for (int iMode : {-1, 0, 1, 2, 3}) {
            Differential diff(szKey, iMode);
            for (unsigned dwCap : {0u, 1u, 100u, 101u, 200u}) {
                diff.Encode("", dwCap);
                diff.Encode(std::string(100, 'p'), dwCap);
                diff.Decode("", dwCap);
                diff.Decode(sText, dwCap);
            }
            ASSERT_FALSE(HasFailure()) << (szKey ? std::strlen(szKey) : 0) << " " << iMode;
        }
    }
}

}  // namespace
