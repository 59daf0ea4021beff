// The payload codec with any key, mode, capacity and input. Buffers are
// allocated to their exact sizes, so the address sanitizer sees any byte
// read or written past them:
//   - DataDecode never writes past its capacity; a success leaves a
//     terminated text of its result's length (no NUL inside for the keyless
//     mode) that encodes back to exactly the input; a failure leaves the
//     empty text;
//   - DataEncode with good arguments and room succeeds, writes only the
//     base64url alphabet, and its output decodes back to the input with the
//     same key; it refuses exactly the bad arguments and too little room;
//   - a key is never read more than 40 bytes deep.
//
// Input: a flags byte (mode, null key, a bad mode), the key length and key
// bytes, a 16-bit capacity, then the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "support/quorvex.h"

namespace {

constexpr size_t kKeyBuffer = 40;  // the session key buffer the library passes
constexpr unsigned kCheckBytes = 4;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// A heap block of exactly iSize bytes (at least one, so the pointer is real).
struct Block {
    explicit Block(size_t iSize, const char* pFrom = nullptr)
        : p(static_cast<char*>(std::malloc(iSize == 0 ? 1 : iSize))), n(iSize) {
        if (pFrom != nullptr && iSize > 0) std::memcpy(p, pFrom, iSize);
    }
    ~Block() { std::free(p); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    char* p;
    size_t n;
};

// The encoded length of dwPlain bytes of text: base64 of the text and its
// 4-byte check, unpadded.
uint64_t EncodedLength(uint64_t qwPlain) {
    uint64_t qwBody = qwPlain + kCheckBytes;
    static constexpr uint64_t kTail[3] = {0, 2, 3};
    return qwBody / 3 * 4 + kTail[qwBody % 3];
}

bool KeyUsable(const char* szKey, int iMode) {
    if (iMode == TextEncodeDecode::kModeKeyless) return true;
    if (iMode != TextEncodeDecode::kModeSessionKey || szKey == nullptr) return false;
    size_t n = 0;
    while (n < kKeyBuffer && szKey[n] != '\0') ++n;
    return n >= 1 && n <= kKeyBuffer - 1;
}

void CheckDecode(const char* szKey, int iMode, const std::string& src, unsigned dwCap) {
    TextEncodeDecode codec;
    Block in(src.size(), src.data());
    Block out(dwCap);
    int iResult =
        codec.DataDecode(szKey, in.p, static_cast<unsigned>(src.size()), out.p, dwCap, iMode);
    if (iResult <= 0) {
        FUZZ_CHECK(dwCap == 0 || out.p[0] == '\0', "a failed decode left text behind");
        FUZZ_CHECK(codec.LastError() != TextEncodeDecode::kErrorNone, "failure without a reason");
        return;
    }
    FUZZ_CHECK(static_cast<unsigned>(iResult) < dwCap, "result %d, capacity %u", iResult, dwCap);
    FUZZ_CHECK(out.p[iResult] == '\0', "the decoded text is not terminated");
    FUZZ_CHECK(KeyUsable(szKey, iMode), "decoded with a key it must refuse");
    std::string plain(out.p, static_cast<size_t>(iResult));
    if (iMode == TextEncodeDecode::kModeKeyless) {
        FUZZ_CHECK(plain.find('\0') == std::string::npos, "a keyless text holds a NUL");
    }
    // Only one text encodes to a given form: encoding the result gives the
    // input back, byte for byte.
    Block again(src.size());
    int iAgain = codec.DataEncode(szKey, plain.data(), static_cast<unsigned>(plain.size()), again.p,
                                  static_cast<unsigned>(src.size()), iMode);
    FUZZ_CHECK(iAgain == static_cast<int>(src.size()), "re-encoding gave %d bytes, not %zu", iAgain,
               src.size());
    FUZZ_CHECK(std::memcmp(again.p, src.data(), src.size()) == 0,
               "two encoded forms decode to one text");
}

void CheckEncode(const char* szKey, int iMode, const std::string& src, unsigned dwCap) {
    TextEncodeDecode codec;
    Block in(src.size(), src.data());
    Block out(dwCap);
    int iResult =
        codec.DataEncode(szKey, in.p, static_cast<unsigned>(src.size()), out.p, dwCap, iMode);
    bool bArgumentsGood =
        KeyUsable(szKey, iMode) && !src.empty() &&
        !(iMode == TextEncodeDecode::kModeKeyless && src.find('\0') != std::string::npos);
    uint64_t qwNeeded = EncodedLength(src.size());
    if (!bArgumentsGood || qwNeeded > dwCap) {
        FUZZ_CHECK(iResult <= 0, "encoded %d bytes with bad arguments or no room", iResult);
        return;
    }
    FUZZ_CHECK(static_cast<uint64_t>(iResult) == qwNeeded, "encoded %d bytes, expected %llu",
               iResult, static_cast<unsigned long long>(qwNeeded));
    std::string encoded(out.p, static_cast<size_t>(iResult));
    FUZZ_CHECK(encoded.find_first_not_of(kAlphabet) == std::string::npos,
               "a character outside base64url");
    Block back(src.size() + 1);
    int iBack = codec.DataDecode(szKey, encoded.data(), static_cast<unsigned>(encoded.size()),
                                 back.p, static_cast<unsigned>(back.n), iMode);
    FUZZ_CHECK(iBack == static_cast<int>(src.size()), "decoding back gave %d, not %zu", iBack,
               src.size());
    FUZZ_CHECK(std::memcmp(back.p, src.data(), src.size()) == 0, "the round trip changed the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t iSize) {
    fuzzref::InputReader input(pData, iSize);
    uint8_t byFlags = input.Byte();
    int iMode =
        (byFlags & 1) != 0 ? TextEncodeDecode::kModeSessionKey : TextEncodeDecode::kModeKeyless;
    if ((byFlags & 0x80) != 0) iMode = static_cast<int8_t>(input.Byte());
    // The key as the library holds it: a text in a 40-byte area, or, past
    // 39 bytes, 40 bytes without a terminator.
    std::string key = input.Bytes(input.Byte() % 48);
    size_t iKeyBlock = key.size() < kKeyBuffer ? key.size() + 1 : kKeyBuffer;
    Block keyBlock(iKeyBlock);
    std::memcpy(keyBlock.p, key.data(), iKeyBlock < key.size() ? iKeyBlock : key.size());
    if (key.size() < kKeyBuffer) keyBlock.p[key.size()] = '\0';
    const char* szKey = (byFlags & 2) != 0 ? nullptr : keyBlock.p;
    unsigned dwCap = input.Word();
    std::string text = input.Rest();

    CheckDecode(szKey, iMode, text, dwCap);
    CheckEncode(szKey, iMode, text, dwCap);
    // With room enough for any result as well, whatever the capacity given.
    CheckDecode(szKey, iMode, text, static_cast<unsigned>(text.size() + 1));
    CheckEncode(szKey, iMode, text, static_cast<unsigned>(EncodedLength(text.size())));
    return 0;
}
