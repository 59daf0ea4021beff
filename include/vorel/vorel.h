/* Vorel: the game's view of the library.
 *
 * Requests go in with Write_Message1; answers come back with Read_Message1
 * (the answer to a request, by type and queue identifier) and Read_Message2
 * (messages the server pushes, types 400 and up). init sets the server's
 * address; SetMessageWnd names the window that receives WM_COPYDATA notices
 * (dwData 95: the connection of a logged-on user was lost; 96: the server
 * ended the session). DownloadFile and Download_File_EX fetch files.
 * Texts are GBK byte strings.
 *
 * The header stands alone: it does not include <windows.h>, so it may come
 * before or after <windows.h> or <winsock2.h>, with or without STRICT. It
 * compiles as C and as C++; every function uses the C calling convention
 * whatever a project's default (/Gz, /Gr). */
#ifndef VOREL_H
#define VOREL_H

#include "vorel_export.h"
#include "vorel_version.h"

#if !defined(_WIN32)
#include "vorel_window.h"
#endif

#if defined(_WIN32)
#define VOREL_CALL __cdecl
#else
#define VOREL_CALL
#endif

/* The window handle as <windows.h> declares HWND under STRICT (its default):
 * a pointer to this incomplete structure. */
struct HWND__;

#ifdef __cplusplus
extern "C" {
#endif

/* Queues a request of type 200..399 whose text has at least three
 * space-separated fields, the second being the queue identifier N.
 * iInputLength < 1 means: up to the terminating zero. 1 queued; -1 bad type
 * or too few fields; -3 length outside 1..65520; -4, -5, -7 out of memory;
 * -9 internal error. */
VOREL_API int VOREL_CALL Write_Message1(int iType, const char* szInput, int iInputLength);

/* Waits up to iTimeout seconds for the oldest answer of type iType to
 * requests of identifier iQueueId and copies its text into OutputBuff
 * (iOutputLength >= 256). Returns its field count (4 or more); 0 time-out;
 * -2 buffer too small; -3 answer longer than the buffer; -4 malformed
 * answer; while not logged on (types other than 2, 16, 202): -1 adapters
 * without address, -2 no adapter, -3 adapter query failed, -9 local network
 * sound. -9 also when the library could not allocate its engine (a later
 * call tries again). */
VOREL_API int VOREL_CALL Read_Message1(int iType, char* OutputBuff, int iOutputLength, int iTimeout,
                                       int iQueueId);

/* Like Read_Message1 for the messages of type 400 and up pushed to
 * identifier 0; *piType receives the type. -9 when the logged-on user lost
 * the connection, or when the library could not allocate its engine. */
VOREL_API int VOREL_CALL Read_Message2(int* piType, char* OutputBuff, int iOutputLength,
                                       int iTimeout, int iReserved);

/* Downloads szUrl (http:// or https://, redirects followed) to szLocalFile
 * in the calling thread, through "<szLocalFile>.part" beside it, which
 * replaces szLocalFile only once the whole body of a 2xx answer has
 * arrived; on any failure szLocalFile is left as it was. Returns 0 success;
 * 1 szUrl or szLocalFile null or empty; 2 the .part file could not be
 * created or written (or eight transfers of the process already write
 * szLocalFile); 3 the transfer failed (name lookup or connect, bounded by
 * 30 s; no byte for 60 s; fewer than 1,024 bytes in a 60 s window once the
 * body has begun; the connection broke off); 4 the final status was not
 * 2xx; 5 the download could not be moved onto szLocalFile (open elsewhere,
 * read-only, a folder); 6 the URL is not http or https; 7 stopped because
 * the library is being unloaded (an unload waits for the call to return);
 * 8 not enough disk space: the download would leave less than 256 MiB free
 * on szLocalFile's volume (judged by the announced length, and as the body
 * arrives); -9 internal error. */
VOREL_API int VOREL_CALL DownloadFile(const char* szUrl, const char* szLocalFile);

/* Starts a background download through a temporary file beside
 * szLocalFile: 0 started (a failure later leaves szLocalFile as it was and
 * writes a line to the log); 1 nothing started: arguments rejected (a null
 * or empty text, a URL of fewer than 6 or more than 511 characters, a path
 * of more than 511, or a folder part of more than 497), no memory to start
 * it (with a line in the log), or an internal error. */
VOREL_API int VOREL_CALL Download_File_EX(const char* szUrl, const char* szLocalFile);

/* Sets the server's address (host 7..49 characters, port 1..65535): 0 taken
 * up, -1 rejected, -2 stored but no connection set-up began within 5 s (or,
 * at once, the library is being unloaded), -9
 * internal error (the library could not allocate its engine; a later call
 * tries again). */
VOREL_API int VOREL_CALL init(const char* szHost, int iPort);

#ifdef __cplusplus
}
#endif

/* Names the game's window for the notices: 1 stored, 0 not a window (or
 * the library could not allocate its engine: name the window again).
 * The library exports it under its C++ name; C callers link the same
 * function through an alias in the import libraries. Under NO_STRICT,
 * where <windows.h> makes HWND a void pointer, C++ callers cast:
 * SetMessageWnd((struct HWND__*)hWnd). */
VOREL_API int VOREL_CALL SetMessageWnd(struct HWND__* hWnd);

#endif /* VOREL_H */
