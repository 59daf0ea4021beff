/* Vorel: the game's view of the library.
 *
 * Requests go in with Write_Message1; answers come back with Read_Message1
 * (the answer to a request, by type and queue identifier) and Read_Message2
 * (messages the server pushes, types 400 and up). init sets the server's
 * address; SetMessageWnd names the window that receives WM_COPYDATA notices
 * (dwData 95: the connection of a logged-on user was lost; 96: the server
 * ended the session). DownloadFile and Download_File_EX fetch files.
 * Texts are GBK byte strings. */
#ifndef VOREL_H
#define VOREL_H

#include "vorel_export.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "vorel_window.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Queues a request of type 200..399 whose text has at least three
 * space-separated fields, the second being the queue identifier N.
 * iInputLength < 1 means: up to the terminating zero. 1 queued; -1 bad type
 * or too few fields; -3 length outside 1..65520; -4, -5, -7 out of memory;
 * -9 internal error. */
VOREL_API int Write_Message1(int iType, char* szInput, int iInputLength);

/* Waits up to iTimeout seconds for the oldest answer of type iType to
 * requests of identifier iQueueId and copies its text into OutputBuff
 * (iOutputLength >= 256). Returns its field count (4 or more); 0 time-out;
 * -2 buffer too small; -3 answer longer than the buffer; -4 malformed
 * answer; while not logged on (types other than 2, 16, 202): -1 adapters
 * without address, -2 no adapter, -3 adapter query failed, -9 local network
 * sound. -9 also when the library could not allocate its engine (a later
 * call tries again). */
VOREL_API int Read_Message1(int iType, char* OutputBuff, int iOutputLength, int iTimeout,
                            int iQueueId);

/* Like Read_Message1 for the messages of type 400 and up pushed to
 * identifier 0; *piType receives the type. -9 when the logged-on user lost
 * the connection, or when the library could not allocate its engine. */
VOREL_API int Read_Message2(int* piType, char* OutputBuff, int iOutputLength, int iTimeout,
                            int iReserved);

/* Downloads szUrl to szLocalFile in the calling thread: 0 success, a
 * positive code for a failure, -9 internal error. */
VOREL_API int DownloadFile(char* szUrl, char* szLocalFile);

/* Starts a background download through a temporary file beside
 * szLocalFile: 0 started, 1 arguments rejected (or, with a line in the log,
 * no memory to start it). */
VOREL_API int Download_File_EX(const char* szUrl, const char* szLocalFile);

/* Sets the server's address (host 7..49 characters, port 1..65535): 0 taken
 * up, -1 rejected, -2 stored but no connection set-up began within 5 s, -9
 * internal error (the library could not allocate its engine; a later call
 * tries again). */
VOREL_API int init(char* szHost, int iPort);

#ifdef __cplusplus
}

/* Names the game's window for the notices: 1 stored, 0 not a window (or
 * the library could not allocate its engine: name the window again). */
VOREL_API int SetMessageWnd(HWND hWnd);
#endif

#endif /* VOREL_H */
