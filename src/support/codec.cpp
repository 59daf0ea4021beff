// Payload codec of the support library. docs/protocol.md ("Payload codec")
// is the format's reference for server implementers.
//
// body    = (plain XOR stream) followed by (CRC-32 of plain, little-endian,
//           XOR the next four stream bytes)
// encoded = body in unpadded base64url
//
// The stream is SplitMix64 seeded with the 64-bit FNV-1a hash of the key
// text; mode 0 uses a fixed built-in key text. It hides texts from casual
// eyes and is not security: the session key itself travels in mode 0.
//
// Both directions work in blocks of 24 body bytes, 32 characters: three
// whole stream words and eight whole base64 groups, so that a block carries
// nothing over to the next but the stream and the CRC. The last, partial
// block (the rest of the text and the check) goes through a small
// zero-padded buffer. Table lookups do the work: 16 KB for the CRC, 8 KB to
// encode, 16 KB to decode, all built at compile time.

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

constexpr size_t kBlockBytes = 24;  // body bytes per block
constexpr size_t kBlockChars = 32;  // their characters
constexpr size_t kBlockWords = kBlockBytes / 8;
// The last block: less than a block of text, then the check, rounded up to
// whole stream words.
constexpr size_t kTailBuffer = 32;
static_assert(kBlockBytes - 1 + kCheckBytes <= kTailBuffer && kTailBuffer % 8 == 0,
              "the last block fits its buffer in whole words");

// A block of body or text bytes as LoadLe64 reads them.
using Block = uint64_t[kBlockWords];

// ---- words in memory, low byte first whatever the host's byte order --------

// The word's bytes in the opposite order; compilers emit one instruction.
inline uint64_t ByteSwap64(uint64_t v) {
    v = (v & 0x00FF00FF00FF00FFull) << 8 | (v >> 8 & 0x00FF00FF00FF00FFull);
    v = (v & 0x0000FFFF0000FFFFull) << 16 | (v >> 16 & 0x0000FFFF0000FFFFull);
    return v << 32 | v >> 32;
}

inline uint32_t ByteSwap32(uint32_t v) { return static_cast<uint32_t>(ByteSwap64(v) >> 32); }

// Folds to a constant, so that the loads and stores below are plain moves
// on a little-endian host.
inline bool HostIsLittleEndian() {
    const uint32_t dwOne = 1;
    unsigned char b = 0;
    std::memcpy(&b, &dwOne, 1);
    return b == 1;
}

inline uint32_t LoadLe32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return HostIsLittleEndian() ? v : ByteSwap32(v);
}

inline uint64_t LoadLe64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof(v));
    return HostIsLittleEndian() ? v : ByteSwap64(v);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    if (!HostIsLittleEndian()) v = ByteSwap32(v);
    std::memcpy(p, &v, sizeof(v));
}

inline void StoreLe64(uint8_t* p, uint64_t v) {
    if (!HostIsLittleEndian()) v = ByteSwap64(v);
    std::memcpy(p, &v, sizeof(v));
}

// ---- key stream -------------------------------------------------------------

uint64_t Fnv1a64(const char* p, size_t n) {
    uint64_t qwHash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; ++i) {
        qwHash ^= static_cast<unsigned char>(p[i]);
        qwHash *= 0x100000001b3ull;
    }
    return qwHash;
}

// SplitMix64 outputs. The stream's bytes are each output low byte first,
// so one output masks the 8 bytes that LoadLe64 reads as one word.
class KeyStream {
public:
    KeyStream(const char* pKey, size_t nKey) : qwState(Fnv1a64(pKey, nKey)) {}

    uint64_t NextWord() {
        uint64_t z = (qwState += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    void Mask(Block& block) {
        for (uint64_t& qw : block) qw ^= NextWord();
    }

    // XORs the next nWords words of stream onto the 8 * nWords bytes at p.
    void Mask(uint8_t* p, size_t nWords) {
        for (size_t i = 0; i < nWords; ++i, p += 8) StoreLe64(p, LoadLe64(p) ^ NextWord());
    }

private:
    uint64_t qwState;
};

// ---- check value: CRC-32 (reflected, polynomial 0xEDB88320) -----------------
// Register form: start at 0xFFFFFFFF, feed bytes, invert at the end.
//
// Sliced by 16: table k holds the register after a byte and k zero bytes,
// from 0, so that 16 bytes take 16 independent lookups and only the four
// that fold in the register wait for the bytes before.

constexpr uint32_t kCrcStart = 0xFFFFFFFFu;
constexpr size_t kCrcSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kCrcSlices>;

constexpr CrcTables MakeCrcTables() {
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        tables[0][i] = c;
    }
    for (size_t k = 1; k < kCrcSlices; ++k) {
        for (size_t i = 0; i < 256; ++i) {
            uint32_t c = tables[k - 1][i];
            tables[k][i] = (c >> 8) ^ tables[0][c & 0xFFu];
        }
    }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

// The lookups for the 4 bytes of dw (as LoadLe32 reads them) followed by
// nZeros more bytes.
inline uint32_t CrcSlice4(uint32_t dw, size_t nZeros) {
    const auto& t = kCrcTables;
    return (t[nZeros + 3][dw & 0xFFu] ^ t[nZeros + 2][dw >> 8 & 0xFFu]) ^
           (t[nZeros + 1][dw >> 16 & 0xFFu] ^ t[nZeros][dw >> 24]);
}

// Feeds the kBytes bytes at p (at least 4, at most kCrcSlices). The bytes
// past the first four are looked up straight from memory, which takes
// fewer instructions than taking words apart.
template <size_t kBytes>
inline uint32_t CrcStep(uint32_t dwCrc, const uint8_t* p) {
    static_assert(kBytes >= 4 && kBytes <= kCrcSlices, "one slice per byte");
    const auto& t = kCrcTables;
    uint32_t dwOwn = 0;
    for (size_t k = 4; k < kBytes; ++k) dwOwn ^= t[kBytes - 1 - k][p[k]];
    return dwOwn ^ CrcSlice4(LoadLe32(p) ^ dwCrc, kBytes - 4);
}

inline uint32_t CrcBlock(uint32_t dwCrc, const uint8_t* p) {
    static_assert(kBlockBytes == 16 + 8, "a block is one step of 16 and one of 8");
    return CrcStep<8>(CrcStep<16>(dwCrc, p), p + 16);
}

uint32_t CrcUpdate(uint32_t dwCrc, const uint8_t* p, size_t n) {
    for (; n >= kCrcSlices; n -= kCrcSlices, p += kCrcSlices) dwCrc = CrcStep<kCrcSlices>(dwCrc, p);
    for (; n > 0; --n, ++p) dwCrc = kCrcTables[0][(dwCrc ^ *p) & 0xFFu] ^ (dwCrc >> 8);
    return dwCrc;
}

// ---- base64url without padding: encoding --------------------------------------

// Encoded length of a body of qwBody bytes.
uint64_t EncodedLength(uint64_t qwBody) {
    static constexpr uint64_t kTail[3] = {0, 2, 3};
    return qwBody / 3 * 4 + kTail[qwBody % 3];
}

// The two characters of each 12-bit value: half the lookups of one
// character at a time.
using PairTable = std::array<std::array<char, 2>, 4096>;

constexpr PairTable MakePairTable() {
    PairTable table{};
    for (size_t i = 0; i < table.size(); ++i) {
        table[i][0] = kAlphabet[i >> 6];
        table[i][1] = kAlphabet[i & 63u];
    }
    return table;
}

constexpr PairTable kPairTable = MakePairTable();

// Writes the 8 characters of the top 48 bits of qwBits.
inline void Encode48(uint64_t qwBits, char* pOut) {
    const auto& t = kPairTable;
    std::memcpy(pOut, t[qwBits >> 52].data(), 2);
    std::memcpy(pOut + 2, t[qwBits >> 40 & 0xFFFu].data(), 2);
    std::memcpy(pOut + 4, t[qwBits >> 28 & 0xFFFu].data(), 2);
    std::memcpy(pOut + 6, t[qwBits >> 16 & 0xFFFu].data(), 2);
}

// Writes the 32 characters of a block of body.
inline void EncodeBlock(const Block& block, char* pOut) {
    // The body's bits most significant first, 64 to a word.
    uint64_t a = ByteSwap64(block[0]), b = ByteSwap64(block[1]), c = ByteSwap64(block[2]);
    Encode48(a, pOut);
    Encode48(a << 48 | b >> 16, pOut + 8);
    Encode48(b << 32 | c >> 32, pOut + 16);
    Encode48(c << 16, pOut + 24);
}

// Writes n bytes as base64url, 3 bytes to 4 characters, most significant
// bits first; a last 1 or 2 bytes give 2 or 3 characters whose unused low
// bits are zero.
void EncodeBytes(const uint8_t* p, size_t n, char* pOut) {
    for (; n >= 3; p += 3, n -= 3, pOut += 4) {
        uint32_t v = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
        pOut[0] = kAlphabet[v >> 18];
        pOut[1] = kAlphabet[(v >> 12) & 63u];
        pOut[2] = kAlphabet[(v >> 6) & 63u];
        pOut[3] = kAlphabet[v & 63u];
    }
    if (n > 0) {
        uint32_t v = uint32_t{p[0]} << 16 | (n == 2 ? uint32_t{p[1]} << 8 : 0u);
        pOut[0] = kAlphabet[v >> 18];
        pOut[1] = kAlphabet[(v >> 12) & 63u];
        if (n == 2) pOut[2] = kAlphabet[(v >> 6) & 63u];
    }
}

// ---- base64url without padding: decoding --------------------------------------

// kChunkTables[k][c]: character c at place k of 8 characters, as its bits of
// their 6 bytes, first byte lowest. A character outside the alphabet gives
// kBadChunk, above the bits of any good characters.
using ChunkTables = std::array<std::array<uint64_t, 256>, 8>;
constexpr uint64_t kBadChunk = 0xFFFFull << 48;

constexpr ChunkTables MakeChunkTables() {
    ChunkTables tables{};
    for (size_t k = 0; k < tables.size(); ++k) {
        for (auto& v : tables[k]) v = kBadChunk;
        for (uint64_t i = 0; i < 64; ++i) {
            uint64_t qwBits = i << (42 - 6 * k);  // most significant first
            uint64_t qwBytes = 0;
            for (size_t b = 0; b < 6; ++b) qwBytes |= (qwBits >> (40 - 8 * b) & 0xFFu) << (8 * b);
            tables[k][static_cast<unsigned char>(kAlphabet[i])] = qwBytes;
        }
    }
    return tables;
}

constexpr ChunkTables kChunkTables = MakeChunkTables();

// The 6 bytes of 8 characters, first byte lowest; kBadChunk bits set when a
// character is outside the alphabet.
inline uint64_t DecodeChunk(const unsigned char* p) {
    const auto& t = kChunkTables;
    return ((t[0][p[0]] | t[1][p[1]]) | (t[2][p[2]] | t[3][p[3]])) |
           ((t[4][p[4]] | t[5][p[5]]) | (t[6][p[6]] | t[7][p[7]]));
}

// Reads the 32 characters of a block of body. Returns false when a
// character is outside the alphabet.
inline bool DecodeBlock(const char* pIn, Block& block) {
    const auto* p = reinterpret_cast<const unsigned char*>(pIn);
    uint64_t x0 = DecodeChunk(p), x1 = DecodeChunk(p + 8), x2 = DecodeChunk(p + 16),
             x3 = DecodeChunk(p + 24);
    block[0] = x0 | x1 << 48;
    block[1] = x1 >> 16 | x2 << 32;
    block[2] = x2 >> 32 | x3 << 16;
    return ((x0 | x1) | (x2 | x3)) < kBadChunk;
}

// Reads nChars characters (nChars % 4 != 1) into the 3/4 as many bytes they
// hold. Returns false when a character is outside the alphabet or the
// unused low bits of a last partial group are not zero; only canonical
// texts pass, so that every change of a character changes the body.
bool DecodeBytes(const char* pIn, size_t nChars, uint8_t* pOut) {
    const auto* p = reinterpret_cast<const unsigned char*>(pIn);
    const auto& t = kChunkTables;
    for (; nChars >= 4; p += 4, nChars -= 4, pOut += 3) {
        uint64_t qwGroup = t[0][p[0]] | t[1][p[1]] | t[2][p[2]] | t[3][p[3]];
        if (qwGroup >= kBadChunk) return false;
        pOut[0] = static_cast<uint8_t>(qwGroup);
        pOut[1] = static_cast<uint8_t>(qwGroup >> 8);
        pOut[2] = static_cast<uint8_t>(qwGroup >> 16);
    }
    if (nChars == 0) return true;
    // A last 2 or 3 characters hold 1 or 2 bytes; above them lie the last
    // character's unused bits and the bits of a bad character.
    const size_t nBytes = nChars - 1;
    uint64_t qwGroup = t[0][p[0]] | t[1][p[1]] | (nBytes == 2 ? t[2][p[2]] : 0u);
    pOut[0] = static_cast<uint8_t>(qwGroup);
    if (nBytes == 2) pOut[1] = static_cast<uint8_t>(qwGroup >> 8);
    return (qwGroup >> (8 * nBytes)) == 0;
}

// ---- the body ---------------------------------------------------------------

// Encodes nPlain bytes and their check into the EncodedLength(nPlain + 4)
// characters at pOut.
void EncodeBody(KeyStream& stream, const uint8_t* pIn, size_t nPlain, char* pOut) {
    uint32_t dwCrc = kCrcStart;
    for (; nPlain >= kBlockBytes; nPlain -= kBlockBytes, pIn += kBlockBytes, pOut += kBlockChars) {
        Block block;
        for (size_t i = 0; i < kBlockWords; ++i) block[i] = LoadLe64(pIn + 8 * i);
        dwCrc = CrcBlock(dwCrc, pIn);
        stream.Mask(block);
        EncodeBlock(block, pOut);
    }
    // The rest of the text and the check, masked in whole words over the
    // zero padding; only the body's bytes are encoded.
    uint8_t tail[kTailBuffer] = {};
    std::memcpy(tail, pIn, nPlain);
    StoreLe32(tail + nPlain, ~CrcUpdate(dwCrc, pIn, nPlain));
    stream.Mask(tail, kTailBuffer / 8);
    EncodeBytes(tail, nPlain + kCheckBytes, pOut);
}

// Decodes the nChars characters at pIn, which hold nPlain bytes of text and
// the check, into the nPlain bytes at pOut. Returns kErrorNone, kErrorFormat
// for a character outside the alphabet or a text not in canonical form, or
// kErrorCheck; after a failure pOut holds garbage.
int DecodeBody(KeyStream& stream, const char* pIn, size_t nChars, uint8_t* pOut, size_t nPlain) {
    const char* const pEnd = pIn + nChars;
    uint8_t* const pText = pOut;
    size_t nLeft = nPlain;
    for (; nLeft >= kBlockBytes; nLeft -= kBlockBytes, pIn += kBlockChars, pOut += kBlockBytes) {
        Block block;
        if (!DecodeBlock(pIn, block)) return TextEncodeDecode::kErrorFormat;
        stream.Mask(block);
        for (size_t i = 0; i < kBlockWords; ++i) StoreLe64(pOut + 8 * i, block[i]);
    }
    // The rest of the text and the check, unmasked in whole words over the
    // zero padding.
    uint8_t tail[kTailBuffer] = {};
    if (!DecodeBytes(pIn, static_cast<size_t>(pEnd - pIn), tail)) {
        return TextEncodeDecode::kErrorFormat;
    }
    stream.Mask(tail, kTailBuffer / 8);
    std::memcpy(pOut, tail, nLeft);
    // The check in a pass of its own over the decoded text: fed inside the
    // decoding loop, its lookups compete with the decoding's and the whole
    // runs slower.
    uint32_t dwCrc = ~CrcUpdate(kCrcStart, pText, nPlain);
    return dwCrc == LoadLe32(tail + nLeft) ? TextEncodeDecode::kErrorNone
                                           : TextEncodeDecode::kErrorCheck;
}

// ---- keys -------------------------------------------------------------------

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
    EncodeBody(stream, reinterpret_cast<const uint8_t*>(pSrc), dwSrcLen, pDst);
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
    const size_t nPlain = static_cast<size_t>(qwPlain);

    // The text is decoded into pDst before it is known to be good; a failure
    // clears all of it.
    KeyStream stream(pKey, nKey);
    int iError = DecodeBody(stream, pSrc, dwSrcLen, reinterpret_cast<uint8_t*>(pDst), nPlain);
    if (iError == kErrorNone && iMode == kModeKeyless &&
        std::memchr(pDst, '\0', nPlain) != nullptr) {
        iError = kErrorFormat;
    }
    if (iError != kErrorNone) {
        std::memset(pDst, 0, nPlain + 1);
        return iLastError = iError;
    }
    pDst[nPlain] = '\0';
    iLastError = kErrorNone;
    return static_cast<int>(nPlain);
}
