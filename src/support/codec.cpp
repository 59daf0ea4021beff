// Payload codec of the support library. docs/protocol.md ("Payload codec")
// is the format's reference for server implementers; this file follows it
// step by step.
//
// body    = (plain XOR stream) followed by (CRC-32 of plain, little-endian,
//           XOR the next four stream bytes)
// encoded = body in unpadded base64url
//
// The stream is SplitMix64 seeded with the 64-bit FNV-1a hash of the key
// text; mode 0 uses a fixed built-in key text. It hides texts from casual
// eyes and is not security: the session key itself travels in mode 0.

#include <array>
#include <climits>
#include <cstring>

#include "support/quorvex.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kKeylessKey[] = "keyless-codec-v1";
constexpr unsigned kCheckBytes = 4;
// A key must fit the 40-byte session key buffer with its terminator.
constexpr size_t kMaxKeyLength = 39;

// ---- key stream -------------------------------------------------------------

uint64_t Fnv1a64(const char* p, size_t n) {
    uint64_t qwHash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) {
        qwHash ^= static_cast<unsigned char>(p[i]);
        qwHash *= 0x100000001b3ull;
    }
    return qwHash;
}

// Bytes of SplitMix64 outputs, each output taken low byte first.
class KeyStream {
public:
    KeyStream(const char* pKey, size_t nKey) : qwState(Fnv1a64(pKey, nKey)) {}

    uint8_t Next() {
        if (uUsed == 8) {
            qwBlock = NextBlock();
            uUsed = 0;
        }
        return static_cast<uint8_t>(qwBlock >> (8 * uUsed++));
    }

private:
    uint64_t NextBlock() {
        uint64_t z = (qwState += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    uint64_t qwState;
    uint64_t qwBlock = 0;
    unsigned uUsed = 8;
};

// ---- check value: CRC-32 (reflected, polynomial 0xEDB88320) -----------------

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

// Register form: start at 0xFFFFFFFF, feed bytes, invert at the end.
inline uint32_t CrcStep(uint32_t dwCrc, uint8_t b) {
    return kCrcTable[(dwCrc ^ b) & 0xFFu] ^ (dwCrc >> 8);
}

// ---- base64url without padding ----------------------------------------------

// Encoded length of a body of qwBody bytes.
uint64_t EncodedLength(uint64_t qwBody) {
    static constexpr uint64_t kTail[3] = {0, 2, 3};
    return qwBody / 3 * 4 + kTail[qwBody % 3];
}

class Base64Writer {
public:
    explicit Base64Writer(char* pOut) : p(pOut) {}

    void Put(uint8_t b) {
        dwBits = (dwBits << 8) | b;
        iBits += 8;
        while (iBits >= 6) {
            iBits -= 6;
            *p++ = kAlphabet[(dwBits >> iBits) & 63u];
        }
        dwBits &= (1u << iBits) - 1u;
    }

    // Flushes a partial group, its unused low bits zero.
    void Finish() {
        if (iBits > 0) *p++ = kAlphabet[(dwBits << (6 - iBits)) & 63u];
        iBits = 0;
    }

private:
    char* p;
    uint32_t dwBits = 0;
    int iBits = 0;
};

constexpr std::array<int8_t, 256> MakeDecodeTable() {
    std::array<int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}

constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

class Base64Reader {
public:
    explicit Base64Reader(const char* pIn) : p(pIn) {}

    // The next byte, or -1 on a character outside the alphabet. The caller
    // asks for exactly the bytes the text's length holds.
    int Get() {
        while (iBits < 8) {
            int v = kDecodeTable[static_cast<unsigned char>(*p++)];
            if (v < 0) return -1;
            dwBits = (dwBits << 6) | static_cast<uint32_t>(v);
            iBits += 6;
        }
        iBits -= 8;
        int b = static_cast<int>((dwBits >> iBits) & 0xFFu);
        dwBits &= (1u << iBits) - 1u;
        return b;
    }

    // True when the text ends in canonical form. Reading every byte that
    // the text's length holds consumes every character; what is left are
    // the 2 or 4 unused low bits of a last partial character, which must be
    // zero so that every change of a character changes the body.
    bool EndsCanonically() const { return dwBits == 0; }

private:
    const char* p;
    uint32_t dwBits = 0;
    int iBits = 0;
};

// Length of a key text, reading at most kMaxKeyLength + 1 bytes (a whole
// session key buffer). Returns kMaxKeyLength + 1 for a key that is too long
// or unterminated.
size_t BoundedKeyLength(const char* szKey) {
    size_t n = 0;
    while (n <= kMaxKeyLength && szKey[n] != '\0') ++n;
    return n;
}

// The key text a mode uses, or false for a bad mode or a missing key.
bool SelectKey(const char* szKey, int iMode, const char** ppKey, size_t* pnKey) {
    if (iMode == TextEncodeDecode::kModeKeyless) {
        *ppKey = kKeylessKey;
        *pnKey = sizeof(kKeylessKey) - 1;
        return true;
    }
    if (iMode != TextEncodeDecode::kModeSessionKey || szKey == nullptr) return false;
    size_t n = BoundedKeyLength(szKey);
    if (n == 0 || n > kMaxKeyLength) return false;
    *ppKey = szKey;
    *pnKey = n;
    return true;
}

}  // namespace

TextEncodeDecode::TextEncodeDecode() : iLastError(kErrorNone) {}

TextEncodeDecode::~TextEncodeDecode() = default;

int TextEncodeDecode::DataEncode(const char* szKey, const char* pSrc, unsigned int dwSrcLen,
                                 char* pDst, unsigned int dwDstCap, int iMode) {
    const char* pKey = nullptr;
    size_t nKey = 0;
    if (pSrc == nullptr || pDst == nullptr || dwSrcLen == 0 ||
        !SelectKey(szKey, iMode, &pKey, &nKey)) {
        return iLastError = kErrorArgument;
    }
    // A keyless text carries a key, and a key is a text.
    if (iMode == kModeKeyless && std::memchr(pSrc, '\0', dwSrcLen) != nullptr) {
        return iLastError = kErrorArgument;
    }
    uint64_t qwEncoded = EncodedLength(uint64_t{dwSrcLen} + kCheckBytes);
    if (qwEncoded > dwDstCap || qwEncoded > static_cast<uint64_t>(INT_MAX)) {
        return iLastError = kErrorCapacity;
    }

    KeyStream stream(pKey, nKey);
    Base64Writer out(pDst);
    uint32_t dwCrc = 0xFFFFFFFFu;
    for (unsigned int i = 0; i < dwSrcLen; ++i) {
        uint8_t b = static_cast<uint8_t>(pSrc[i]);
        dwCrc = CrcStep(dwCrc, b);
        out.Put(b ^ stream.Next());
    }
    dwCrc ^= 0xFFFFFFFFu;
    for (unsigned int i = 0; i < kCheckBytes; ++i) {
        out.Put(static_cast<uint8_t>(dwCrc >> (8 * i)) ^ stream.Next());
    }
    out.Finish();
    iLastError = kErrorNone;
    return static_cast<int>(qwEncoded);
}

int TextEncodeDecode::DataDecode(const char* szKey, const char* pSrc, unsigned int dwSrcLen,
                                 char* pDst, unsigned int dwDstCap, int iMode) {
    // Whatever follows, a failed call leaves the empty text behind: the
    // session key buffer counts as holding a key once its first byte is set.
    if (pDst != nullptr && dwDstCap > 0) pDst[0] = '\0';

    const char* pKey = nullptr;
    size_t nKey = 0;
    if (pSrc == nullptr || pDst == nullptr || dwDstCap == 0 ||
        !SelectKey(szKey, iMode, &pKey, &nKey)) {
        return iLastError = kErrorArgument;
    }
    // base64 leaves 0, 2 or 3 characters over a whole group, never 1; the
    // body holds the check and at least one byte of text.
    uint64_t qwBody = uint64_t{dwSrcLen} * 3 / 4;
    if (dwSrcLen % 4 == 1 || qwBody < kCheckBytes + 1) return iLastError = kErrorFormat;
    uint64_t qwPlain = qwBody - kCheckBytes;
    if (qwPlain + 1 > dwDstCap || qwPlain > static_cast<uint64_t>(INT_MAX)) {
        return iLastError = kErrorCapacity;
    }
    const unsigned int dwPlain = static_cast<unsigned int>(qwPlain);

    KeyStream stream(pKey, nKey);
    Base64Reader in(pSrc);
    uint32_t dwCrc = 0xFFFFFFFFu;
    bool bHasNul = false;
    int iError = kErrorNone;
    for (unsigned int i = 0; i < dwPlain; ++i) {
        int c = in.Get();
        if (c < 0) {
            iError = kErrorFormat;
            break;
        }
        uint8_t b = static_cast<uint8_t>(c) ^ stream.Next();
        bHasNul |= (b == 0);
        dwCrc = CrcStep(dwCrc, b);
        pDst[i] = static_cast<char>(b);
    }
    uint32_t dwStored = 0;
    for (unsigned int i = 0; i < kCheckBytes && iError == kErrorNone; ++i) {
        int c = in.Get();
        if (c < 0) {
            iError = kErrorFormat;
            break;
        }
        dwStored |= static_cast<uint32_t>(static_cast<uint8_t>(c) ^ stream.Next()) << (8 * i);
    }
    if (iError == kErrorNone && !in.EndsCanonically()) iError = kErrorFormat;
    if (iError == kErrorNone && (dwCrc ^ 0xFFFFFFFFu) != dwStored) iError = kErrorCheck;
    if (iError == kErrorNone && iMode == kModeKeyless && bHasNul) iError = kErrorFormat;

    if (iError != kErrorNone) {
        std::memset(pDst, 0, qwPlain + 1);
        return iLastError = iError;
    }
    pDst[dwPlain] = '\0';
    iLastError = kErrorNone;
    return static_cast<int>(dwPlain);
}
