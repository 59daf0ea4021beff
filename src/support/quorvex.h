// Quorvex: the support library's interface as its callers use it.
//
// Hash table, text codec, log writer, field splitter and file download.
// Built as its own shared library (Quorvex.dll, libQuorvex.so); only what is
// declared here with QUORVEX_API leaves it.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#if defined(QUORVEX_BUILDING)
#define QUORVEX_API __declspec(dllexport)
#elif defined(QUORVEX_STATIC)
// Linked from the static library (the reference server), not the DLL.
#define QUORVEX_API
#else
#define QUORVEX_API __declspec(dllimport)
#endif
#else
#define QUORVEX_API __attribute__((visibility("default")))
#endif

struct HWND__;

// ---- hash table -------------------------------------------------------------
// The layout is part of the interface (callers read iCount); walks that
// visit or remove entries go through hash_walk.

struct _hashent {
    void* pKey;       // the library's own: the key text the entry was added with
    void* pData;      // the value
    _hashent* pNext;  // next entry of the bucket; null ends the chain
};

struct _hash {
    _hashent** ppBuckets;       // iSize slots, each the head of a chain or null
    int iSize;                  // slot count
    int iCount;                 // entries in the table
    uint32_t dwSeed;            // the library's own: seed of the key hashing
    uint32_t dwReserved;        // the library's own: unused, 0
    void (*pfnRelease)(void*);  // releases a value (free_hash calls it)
};

extern "C" {

// A new empty table of iSize slots whose values are released with
// pfnRelease (which may be null: values are then left alone). Null when
// iSize < 1 or memory runs out.
QUORVEX_API _hash* hash_init(int iSize, void (*pfnRelease)(void*));

// Adds pData under the key text pKey (NUL-terminated; the text is not
// copied and must live as long as the entry). 0 = stored; otherwise nothing
// is stored: -1 out of memory, -2 a null table, key or value, -3 the key is
// already present. A new entry goes to the end of its bucket's chain; the
// hashing is fixed, so the order of a walk over the buckets is the same in
// every run.
QUORVEX_API int hash_add(_hash* pTable, void* pKey, void* pData);

// The value stored under a key text equal to szKey, or null.
QUORVEX_API void* hash_lookup(_hash* pTable, const char* szKey);

// Releases every value through the release function, then every entry and
// the table itself. Null is ignored.
QUORVEX_API void free_hash(_hash* pTable);

// Frees one entry record that the caller has already unlinked (and whose
// value it has released). Null is ignored.
QUORVEX_API void free_hashent(_hashent* pEntry);

// The bucket that a key text belongs in, whether or not it is stored: 0 to
// iSize - 1; -1 for a null or unusable table or a null key. hash_add puts a
// new entry at the end of its bucket's chain and a removal keeps the order
// of the others, so a walk meets the entries of one bucket in the order in
// which they were added.
QUORVEX_API int hash_slot(_hash* pTable, const char* szKey);

// What a visit of hash_walk returns.
enum : int {
    HASH_WALK_NEXT = 0,    // go on to the next value
    HASH_WALK_REMOVE = 1,  // take this entry out, release its value, go on
    HASH_WALK_STOP = 2,    // end the walk here
};

// Visits every value, buckets in index order and each bucket's chain in
// chain order: pfnVisit(pData, pContext) returns one of HASH_WALK_*. A
// removed entry is unlinked, its value released through the release
// function and the entry freed; iCount drops by one. Returns 1 when every
// value was visited (a null table has none), 0 when a visit stopped the
// walk.
QUORVEX_API int hash_walk(_hash* pTable, int (*pfnVisit)(void* pData, void* pContext),
                          void* pContext);

// ---- log writer -------------------------------------------------------------

// Appends one entry to the file szFile: a timestamp prefix
// "[YYYY-MM-DD HH:MM:SS] " followed by the printf-style text. Concurrent
// callers never tear, interleave or lose entries. A log that cannot be
// written is skipped silently; the call never blocks on the file.
QUORVEX_API void WriteFileNew(const char* szFile, const char* szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Appends several entries to szFile at once. pTexts holds iLength bytes of
// entry texts, already formatted and taken as they are (no format is
// applied), each ended by a zero byte. Each becomes an entry exactly as
// WriteFileNew makes one: the timestamp prefix, read for that entry, then
// its text, then a line end unless the text has one. The entries land in
// their order with one write, never torn or interleaved with other writers'
// entries; a batch of more than 64 KiB goes in several writes, each of whole
// entries. The same file, rules and failures as WriteFileNew.
QUORVEX_API void WriteFileBatch(const char* szFile, const char* pTexts, size_t iLength);

// The log file stays open between entries (shared with other readers,
// writers, renames and deletions), and a log removed or renamed meanwhile is
// started anew at its path within about a second. WriteFileClose closes it;
// the next entry opens it again. The library calls it as it unloads.
QUORVEX_API void WriteFileClose();

// ---- field splitter ---------------------------------------------------------

// Splits szText in place at cSep into at most iLimit fields and stores a
// pointer to each in ppFields (which has room for iLimit); returns the count. Runs of separators
// count as one, and separators at the start or end make no empty field. When the limit is reached,
// the last field keeps the rest of the text (separators inside it included, trailing ones removed).
// Returns 0 for a null argument or iLimit < 1. With cSep '\0' the whole text is one field.
QUORVEX_API int split_CharLine(char** ppFields, int iLimit, char* szText, char cSep);

// ---- download ---------------------------------------------------------------

// Downloads szUrl (http or https, redirects followed) to the local file
// szPath. 0 = success: the whole body of a 2xx answer is at szPath. On any
// failure szPath is left as it was (no partial file). hWnd and the two
// integers are accepted for compatibility and not used.
// The body goes first to "<path>.part" beside the destination ("<path>.part1"
// to "<path>.part7" while other transfers of this process write the same
// destination), which a later download of that destination reuses or
// removes, so a killed process leaves nothing that stays for good.
// A transfer fails as stalled after 60 s without a byte, and also when,
// from its first body byte on, a 60 s window brings fewer than 1,024 bytes.
// Results: 0 success; 1 bad arguments; 2 the temporary file could not be
// created (also: eight transfers already write this destination); 3 the
// transfer failed (connect, time-out, stalled or too slow, read); 4 the
// server answered with a status other than 2xx; 5 the file could not be
// moved into place; 6 the URL's scheme is not http or https; 7 aborted; 8
// the body would leave less than 256 MiB free on the destination's volume
// (judged by the announced length before the body, and as the body is
// written, so a body without a length ends too).
QUORVEX_API int InternetDownloadFile(HWND__* hWnd, int iReserved1, int iReserved2,
                                     const char* szUrl, const char* szPath);

// InternetDownloadFile that also stops with 7 once pfnStop(pContext)
// returns non-zero: it is asked before the transfer starts and then at
// least every 100 ms, also while the name lookup or the connect is under
// way, on the calling thread. A null pfnStop is never asked.
QUORVEX_API int InternetDownloadFileStoppable(HWND__* hWnd, int iReserved1, int iReserved2,
                                              const char* szUrl, const char* szPath,
                                              int (*pfnStop)(void* pContext), void* pContext);

// While iAbort is non-zero, every transfer in progress stops and every new
// one fails at once with 7; zero lets downloads run again.
QUORVEX_API void InternetDownloadAbort(int iAbort);

}  // extern "C"

// ---- codec ------------------------------------------------------------------
// Hides payload texts from casual eyes; it is not security (the session key
// travels with the keyless encoding). The format is in docs/protocol.md.

class QUORVEX_API TextEncodeDecode {
public:
    // Modes: 0 encodes and decodes without a key (the session key itself);
    // 2 with the session key (request payloads).
    static constexpr int kModeKeyless = 0;
    static constexpr int kModeSessionKey = 2;

    TextEncodeDecode();
    ~TextEncodeDecode();
    TextEncodeDecode(const TextEncodeDecode&) = delete;
    TextEncodeDecode& operator=(const TextEncodeDecode&) = delete;

    // Encodes dwSrcLen bytes of pSrc into pDst (capacity dwDstCap) as
    // printable text without spaces. szKey: the session key text for mode 2
    // (1 to 39 bytes, read at most 40 bytes deep), ignored for mode 0.
    // Returns the bytes written (no terminator is written), or 0 or less
    // when it does not fit or the arguments are bad. An empty text is
    // refused, and so is a NUL inside a text to encode without a key.
    int DataEncode(const char* szKey, const char* pSrc, unsigned int dwSrcLen, char* pDst,
                   unsigned int dwDstCap, int iMode);

    // The inverse: decodes dwSrcLen bytes of encoded text into pDst and
    // terminates it with a NUL, so at most dwDstCap - 1 bytes of result fit.
    // Returns the decoded length (without the NUL) when the text is well
    // formed and its check matches, else 0 or less, and then pDst holds the
    // empty text: a half-decoded key never looks like a key. Mode 0 also
    // refuses a result that contains a NUL byte, since a key is a text.
    int DataDecode(const char* szKey, const char* pSrc, unsigned int dwSrcLen, char* pDst,
                   unsigned int dwDstCap, int iMode);

    // Why the last call failed (0 after a success): one of the kError codes.
    int LastError() const { return iLastError; }

    static constexpr int kErrorNone = 0;
    static constexpr int kErrorArgument = -1;  // null pointer, bad mode, missing key
    static constexpr int kErrorCapacity = -2;  // the result does not fit
    static constexpr int kErrorFormat = -3;    // not an encoded text
    static constexpr int kErrorCheck = -4;     // check value mismatch (wrong key, damage)

private:
    int32_t iLastError;  // the object's one word
};
