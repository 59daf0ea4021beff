// The log writer: timestamped entries appended whole, one per call of
// WriteFileNew, or several formatted beforehand with one write of
// WriteFileBatch. The log file stays open between entries, and the path is
// looked at now and then: a log that was removed or renamed while the game
// runs is started anew at its path. A log that would grow past its bound is
// rotated: the full file becomes "<path>.1", replacing an older one, and a
// new file starts at the path, so the log takes at most twice the bound.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/mutex.h"
#include "support/quorvex.h"
#include "support/testing.h"

namespace {

constexpr size_t kStackEntry = 4096;

// A batch goes to the file in pieces of whole entries of at most this many
// bytes, one write each, so that a batch of any length needs little memory.
constexpr size_t kBatchPiece = 64 * 1024;

// Room for the time stamp prefix, and the most it takes.
constexpr size_t kPrefixSize = 64;

// How often, on the millisecond tick, a writer looks whether the path still
// names the open file: a removed or renamed log is started anew at most this
// long after, and the look costs a call to the file system that an entry
// otherwise does without.
constexpr uint32_t kLookIntervalMs = 500;

// Paths up to this length are kept with their open file; a longer one is
// opened for each entry (and not rotated: the library's own log is a short
// relative path).
constexpr size_t kMaxKeptPath = 1024;

// The bound of a kept log file. An entry that would take the file past it
// rotates the file first, so each of the two files stays within it. 64 MiB
// holds days of a busy game's lines (weeks without the trace), opens in
// any editor, and caps the log's disk use at 128 MiB.
constexpr uint64_t kDefaultLogBound = 64 * 1024 * 1024;
std::atomic<uint64_t> g_qwLogBound{kDefaultLogBound};

// What the rotated file is called: the path and this.
constexpr char kRotatedSuffix[] = ".1";

// The bytes of one entry and how many of them are in the file already.
struct Entry {
    const char* pData;
    size_t iLength;
    size_t iWritten;
    bool Done() const { return iWritten == iLength; }
};

// The log file kept open between entries, shared by every thread of the
// process. Its lock orders the entries of this process's threads and is held
// only to read or change the members and for the one write of an entry;
// opening and closing files and looking at the path happen outside it. The
// file is opened for appending, so entries of other processes never cut into
// one either.
class KeptLog {
public:
    KeptLog() = default;
    ~KeptLog() { Close(); }
    KeptLog(const KeptLog&) = delete;
    KeptLog& operator=(const KeptLog&) = delete;

    // Appends the entry to szPath. A write that fails is tried once more, on
    // a file opened after the failure, with what did not reach the file;
    // what still does not is dropped.
    void Append(const char* szPath, Entry* pEntry);

    // Closes the kept file; the next entry opens it again.
    void Close();

private:
    enum class Step { kWritten, kFailed, kNoFile, kLookDue, kRotated };

    // What a writer needs to look at the path outside the lock.
    struct Look {
        platform::FileIdentity identity;
        uint32_t dwGeneration;
    };

    Step WriteKept(const char* szPath, Entry* pEntry, bool bMayLook, bool bMayRotate, Look* pLook);
    void LookAtPath(const char* szPath, const Look& look);
    Step WriteFresh(const char* szPath, Entry* pEntry, bool bMayRotate);
    // REQUIRES: lock_ held. Whether the entry must wait for a rotation: it
    // would take a file that holds something past the bound. Only an entry
    // not yet begun waits, so no entry is split across the two files.
    bool RotationDue(const Entry& entry) const;
    // REQUIRES: lock_ held. Closes the kept file and renames it to the
    // rotated name; the next entry opens a new file at the path. A rename
    // that fails (another program holds the rotated file) is tried again
    // only after kLookIntervalMs, the file growing on meanwhile.
    void Rotate();
    // REQUIRES: lock_ held. Writes the rest of the entry to the kept file;
    // when that fails, the file is taken out and returned for the caller to
    // close after leaving the lock.
    platform::AppendFile WriteOrTakeOut(Entry* pEntry);
    // REQUIRES: lock_ held. Takes the kept file out, for closing outside.
    platform::AppendFile TakeOut();

    platform::CriticalSection lock_;
    // Guarded by lock_.
    platform::AppendFile hFile_ = platform::kNoAppendFile;
    platform::FileIdentity identity_{};  // of hFile_'s file when it was opened
    char szPath_[kMaxKeptPath] = "";     // the path hFile_ was opened at
    uint32_t dwGeneration_ = 0;          // counts the files kept: a look knows its own
    uint32_t dwLookedMs_ = 0;            // tick of the last look at the path, or of the opening
    // The kept file's size when it was opened, and what has been written to
    // it since: other processes' writes are seen at the next opening.
    uint64_t qwSize_ = 0;
    bool bRenameFailed_ = false;     // the last rotation's rename failed,
    uint32_t dwRenameFailedMs_ = 0;  // at this tick
    // Counts the rotations; changed under lock_, read before an opening
    // outside it: a file opened before a rotation may be the rotated one.
    std::atomic<uint32_t> dwRotations_{0};
};

void KeptLog::Append(const char* szPath, Entry* pEntry) {
    if (std::strlen(szPath) >= kMaxKeptPath) {
        platform::AppendToFile(szPath, pEntry->pData, pEntry->iLength);
        return;
    }
    bool bMayLook = true;
    bool bMayRotate = true;  // once for an entry: the new file takes it
    int iWrites = 0;
    int iRotations = 0;  // seen by this entry: a few, unless the system fails
    while (iWrites < 2) {
        Look look;
        Step step = WriteKept(szPath, pEntry, bMayLook, bMayRotate, &look);
        if (step == Step::kNoFile) step = WriteFresh(szPath, pEntry, bMayRotate);
        switch (step) {
            case Step::kWritten:
                return;
            case Step::kFailed:
            case Step::kNoFile:
                ++iWrites;
                break;
            case Step::kLookDue:
                bMayLook = false;
                LookAtPath(szPath, look);
                break;
            case Step::kRotated:
                bMayRotate = false;
                if (++iRotations > 3) ++iWrites;
                break;
        }
    }
}

KeptLog::Step KeptLog::WriteKept(const char* szPath, Entry* pEntry, bool bMayLook, bool bMayRotate,
                                 Look* pLook) {
    platform::AppendFile hFailed = platform::kNoAppendFile;
    Step step = Step::kWritten;
    lock_.Enter();
    if (hFile_ == platform::kNoAppendFile || std::strcmp(szPath_, szPath) != 0) {
        step = Step::kNoFile;
    } else if (bMayRotate && RotationDue(*pEntry)) {
        Rotate();
        step = Step::kRotated;
    } else if (bMayLook && platform::TickMs() - dwLookedMs_ >= kLookIntervalMs) {
        // This writer looks; the others go on writing to the file meanwhile.
        dwLookedMs_ = platform::TickMs();
        pLook->identity = identity_;
        pLook->dwGeneration = dwGeneration_;
        step = Step::kLookDue;
    } else {
        hFailed = WriteOrTakeOut(pEntry);
        if (!pEntry->Done()) step = Step::kFailed;
    }
    lock_.Leave();
    platform::AppendFileClose(hFailed);
    return step;
}

void KeptLog::LookAtPath(const char* szPath, const Look& look) {
    if (platform::AppendFileStillAt(szPath, look.identity)) return;
    // The kept file was renamed or removed, or the system cannot tell: it is
    // closed before the path is opened again, since Windows keeps the name
    // of a removed file until it is closed.
    platform::AppendFile hOld = platform::kNoAppendFile;
    lock_.Enter();
    if (hFile_ != platform::kNoAppendFile && dwGeneration_ == look.dwGeneration) hOld = TakeOut();
    lock_.Leave();
    platform::AppendFileClose(hOld);
}

KeptLog::Step KeptLog::WriteFresh(const char* szPath, Entry* pEntry, bool bMayRotate) {
    uint32_t dwRotations = dwRotations_.load();
    platform::FileIdentity identity;
    platform::AppendFile hOpened = platform::AppendFileOpen(szPath, &identity);
    if (hOpened == platform::kNoAppendFile) return Step::kFailed;
    // A size the system cannot tell counts as empty: the file is rotated
    // once this process alone has written the bound.
    uint64_t qwSize = 0;
    if (!platform::AppendFileSize(hOpened, &qwSize)) qwSize = 0;
    platform::AppendFile hSpare;
    lock_.Enter();
    if (hFile_ != platform::kNoAppendFile && std::strcmp(szPath_, szPath) == 0) {
        // Another writer has kept a file of this path since this one found
        // none: it was opened as recently, so it serves.
        hSpare = hOpened;
    } else if (dwRotations_.load() != dwRotations) {
        // The log was rotated while this writer opened it: what it opened
        // may be the rotated file. The next try opens the path anew.
        lock_.Leave();
        platform::AppendFileClose(hOpened);
        return Step::kRotated;
    } else {
        hSpare = hFile_;  // a file of another path, or none
        hFile_ = hOpened;
        identity_ = identity;
        ++dwGeneration_;
        dwLookedMs_ = platform::TickMs();
        qwSize_ = qwSize;
        std::strcpy(szPath_, szPath);
    }
    // A file found past the bound (left by an earlier run) is rotated
    // before the entry, as is one another writer filled meanwhile.
    Step step = Step::kWritten;
    platform::AppendFile hFailed = platform::kNoAppendFile;
    if (bMayRotate && RotationDue(*pEntry)) {
        Rotate();
        step = Step::kRotated;
    } else {
        hFailed = WriteOrTakeOut(pEntry);
        if (!pEntry->Done()) step = Step::kFailed;
    }
    lock_.Leave();
    platform::AppendFileClose(hSpare);
    platform::AppendFileClose(hFailed);
    return step;
}

bool KeptLog::RotationDue(const Entry& entry) const {
    if (entry.iWritten != 0 || qwSize_ == 0) return false;
    if (qwSize_ + entry.iLength <= g_qwLogBound.load()) return false;
    return !bRenameFailed_ || platform::TickMs() - dwRenameFailedMs_ >= kLookIntervalMs;
}

void KeptLog::Rotate() {
    // Closed and renamed under the lock, once for a bound's worth of
    // entries: no entry of this process goes to the file between the two,
    // Windows renames no file this process holds open, and a writer that
    // also found the file full finds it rotated instead of rotating the
    // new one.
    platform::AppendFileClose(TakeOut());
    dwRotations_.fetch_add(1);
    char szRotated[kMaxKeptPath + sizeof(kRotatedSuffix)];
    std::strcpy(szRotated, szPath_);
    std::strcat(szRotated, kRotatedSuffix);
    bRenameFailed_ = !platform::MoveFileReplace(szPath_, szRotated);
    if (bRenameFailed_) dwRenameFailedMs_ = platform::TickMs();
}

platform::AppendFile KeptLog::WriteOrTakeOut(Entry* pEntry) {
    // After a write cut short only the rest goes to the next file: the
    // entry's start is not written twice.
    size_t iWritten = platform::AppendFileWrite(hFile_, pEntry->pData + pEntry->iWritten,
                                                pEntry->iLength - pEntry->iWritten);
    pEntry->iWritten += iWritten;
    qwSize_ += iWritten;
    return pEntry->Done() ? platform::kNoAppendFile : TakeOut();
}

platform::AppendFile KeptLog::TakeOut() {
    platform::AppendFile hFile = hFile_;
    hFile_ = platform::kNoAppendFile;
    return hFile;
}

void KeptLog::Close() {
    lock_.Enter();
    platform::AppendFile hFile = TakeOut();
    lock_.Leave();
    platform::AppendFileClose(hFile);
}

KeptLog g_log;

// "[YYYY-MM-DD HH:MM:SS] " for the local time now into szPrefix
// (kPrefixSize bytes); returns its length, 0 should it not fit.
size_t FormatPrefix(const platform::LocalTime& now, char* szPrefix) {
    int iPrefix =
        std::snprintf(szPrefix, kPrefixSize, "[%04d-%02d-%02d %02d:%02d:%02d] ", now.iYear,
                      now.iMonth, now.iDay, now.iHour, now.iMinute, now.iSecond);
    if (iPrefix < 0 || static_cast<size_t>(iPrefix) >= kPrefixSize) return 0;
    return static_cast<size_t>(iPrefix);
}

bool SameTime(const platform::LocalTime& a, const platform::LocalTime& b) {
    return a.iSecond == b.iSecond && a.iMinute == b.iMinute && a.iHour == b.iHour &&
           a.iDay == b.iDay && a.iMonth == b.iMonth && a.iYear == b.iYear;
}

// Whether an entry of this text needs the line end added: every entry ends
// its line, whether or not its text did.
bool NeedsLineEnd(const char* pText, size_t iText) {
    return iText == 0 || pText[iText - 1] != '\n';
}

// Builds the entries of one batch into pieces and appends each piece with
// one write. Every entry is stamped with the local time read for it; the
// stamp is formatted again only when that time has moved on. A local object:
// the piece lives on the stack, so a batch allocates nothing (an allocation
// of this size for every batch cost more than the batch's write).
class BatchWriter {
public:
    explicit BatchWriter(const char* szPath) : szPath_(szPath) {}
    ~BatchWriter() { Flush(); }
    BatchWriter(const BatchWriter&) = delete;
    BatchWriter& operator=(const BatchWriter&) = delete;

    void Add(const char* pText, size_t iText) {
        platform::LocalTime now;
        platform::GetLocalTime(&now);
        if (!bStamped_ || !SameTime(now, stampTime_)) {
            iPrefix_ = FormatPrefix(now, szPrefix_);
            stampTime_ = now;
            bStamped_ = true;
        }
        size_t iEntry = iPrefix_ + iText + (NeedsLineEnd(pText, iText) ? 1 : 0);
        if (iEntry > sizeof(piece_) - iUsed_) Flush();
        if (iEntry > sizeof(piece_)) {
            AddAlone(pText, iText, iEntry);
            return;
        }
        Put(piece_ + iUsed_, pText, iText);
        iUsed_ += iEntry;
    }

    // Appends the entries gathered so far with one write.
    void Flush() {
        if (iUsed_ == 0) return;
        Entry entry{piece_, iUsed_, 0};
        g_log.Append(szPath_, &entry);
        iUsed_ = 0;
    }

private:
    // The stamp, the text and the line end it needs, at pOut.
    void Put(char* pOut, const char* pText, size_t iText) const {
        std::memcpy(pOut, szPrefix_, iPrefix_);
        std::memcpy(pOut + iPrefix_, pText, iText);
        if (NeedsLineEnd(pText, iText)) pOut[iPrefix_ + iText] = '\n';
    }

    // An entry longer than a piece, in a write of its own. Out of memory,
    // it keeps what fits in the piece, as WriteFileNew keeps what fits.
    void AddAlone(const char* pText, size_t iText, size_t iEntry) {
        char* pAlone = static_cast<char*>(std::malloc(iEntry));
        if (pAlone == nullptr) {
            size_t iKept = sizeof(piece_) - iPrefix_ - 1;
            Put(piece_, pText, iKept);
            iUsed_ = iPrefix_ + iKept + (NeedsLineEnd(pText, iKept) ? 1 : 0);
            Flush();
            return;
        }
        Put(pAlone, pText, iText);
        Entry entry{pAlone, iEntry, 0};
        g_log.Append(szPath_, &entry);
        std::free(pAlone);
    }

    const char* szPath_;
    char piece_[kBatchPiece];
    size_t iUsed_ = 0;
    platform::LocalTime stampTime_{};
    bool bStamped_ = false;
    char szPrefix_[kPrefixSize];
    size_t iPrefix_ = 0;
};

}  // namespace

extern "C" QUORVEX_API void WriteFileNew(const char* szFile, const char* szFormat, ...) {
    if (szFile == nullptr || szFile[0] == '\0' || szFormat == nullptr) return;

    platform::LocalTime now;
    platform::GetLocalTime(&now);
    char szPrefix[kPrefixSize];
    size_t iPrefix = FormatPrefix(now, szPrefix);

    va_list args;
    va_start(args, szFormat);
    va_list argsAgain;
    va_copy(argsAgain, args);
    char stackEntry[kStackEntry];
    char* pEntry = stackEntry;
    size_t iCapacity = sizeof(stackEntry);
    std::memcpy(pEntry, szPrefix, iPrefix);
    int iText = std::vsnprintf(pEntry + iPrefix, iCapacity - iPrefix, szFormat, args);
    va_end(args);
    if (iText < 0) {
        va_end(argsAgain);
        return;  // a format the C library refuses: nothing sensible to write
    }
    // Room for the text, a line end and the terminator.
    size_t iNeeded = iPrefix + static_cast<size_t>(iText) + 2;
    if (iNeeded > iCapacity) {
        char* pHeap = static_cast<char*>(std::malloc(iNeeded));
        if (pHeap != nullptr) {
            std::memcpy(pHeap, szPrefix, iPrefix);
            std::vsnprintf(pHeap + iPrefix, iNeeded - iPrefix, szFormat, argsAgain);
            pEntry = pHeap;
            iCapacity = iNeeded;
        } else {
            // Out of memory: keep what fits in the stack entry.
            iText = static_cast<int>(iCapacity - iPrefix - 2);
        }
    }
    va_end(argsAgain);

    size_t iLength = iPrefix + static_cast<size_t>(iText);
    if (NeedsLineEnd(pEntry + iPrefix, static_cast<size_t>(iText))) pEntry[iLength++] = '\n';

    Entry entry{pEntry, iLength, 0};
    g_log.Append(szFile, &entry);
    if (pEntry != stackEntry) std::free(pEntry);
}

extern "C" QUORVEX_API void WriteFileBatch(const char* szFile, const char* pTexts, size_t iLength) {
    if (szFile == nullptr || szFile[0] == '\0' || pTexts == nullptr || iLength == 0) return;
    BatchWriter writer(szFile);
    const char* p = pTexts;
    while (p < pTexts + iLength) {
        size_t iRest = static_cast<size_t>(pTexts + iLength - p);
        const void* pZero = std::memchr(p, '\0', iRest);
        size_t iText =
            pZero != nullptr ? static_cast<size_t>(static_cast<const char*>(pZero) - p) : iRest;
        writer.Add(p, iText);
        p += iText + 1;
    }
}

extern "C" QUORVEX_API void WriteFileClose() { g_log.Close(); }

namespace quorvex_testing {

void SetLogBound(uint64_t qwBytes) {
    g_qwLogBound.store(qwBytes == 0 ? kDefaultLogBound : qwBytes);
}

}  // namespace quorvex_testing
