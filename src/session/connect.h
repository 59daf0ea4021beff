// Connection set-up and reconnection: the engine's socket connected to the
// server's address, the address that `init` gives, and the answer to a lost
// connection.
//
// Set-ups are numbered; only the newest (the current one) may install its
// socket, raise iSetupFlag or log its result. `init` makes every set-up in
// flight stale by drawing a number of its own.
#pragma once

#include <cstdint>

struct ClientEngine;

// Connection set-up: a new socket connected to the server's address.
// 0 connected; -1 no socket; -2 no such host, or the retry with a
// changed configuration failed; -3 unreachable, configuration unchanged;
// -8 stopping, or superseded by a newer set-up or a new address from
// `init`; -9 exception; -11 unreachable address from `init`.
// The first form reserves a set-up of its own; the second runs the one
// that ReserveSetUp handed out.
int InitSocket(ClientEngine& engine);
int InitSocket(ClientEngine& engine, int32_t iSerial);

// Draws the number of a new set-up, which becomes the current one and the
// one running.
int32_t ReserveSetUp(ClientEngine& engine);

// True while the current set-up has not finished: a failing poll then
// means a connection in progress, not a new failure.
bool CurrentSetUpRunning(const ClientEngine& engine);

// The engine side of `init`: 0 taken up, -1 rejected, -2 stored but no
// connection set-up began within the wait.
int SetServerAddress(ClientEngine& engine, const char* szHostIn, int iPortIn);

// Starts a connection set-up on a ReconnectThread of its own (tracked in
// hThread3; an earlier one runs on untracked). Returns the set-up's number,
// 0 when none was started (the engine stops). The session thread's first
// set-up runs this way too, so that `init` can overtake it at once while
// its name lookup hangs.
int32_t StartSetUpThread(ClientEngine& engine);

// The server's disconnect notice to the game's window (dwData 96), when a
// logged-on user whose game asked for the notices (the log-on flag) has a
// window and the engine runs. REQUIRES: no lock of the engine held.
void SendDisconnectNotice(ClientEngine& engine);

// The session's answer to a lost connection: starts a set-up on a
// ReconnectThread and pauses the calling (session) thread about 1.1 s,
// then tells the game's window of a lost log-on (dwData 95) and only then
// marks the log-on lost. iConnect 0: a failure the session found; 1: the
// server's disconnect notice, which goes to the window (dwData 96) once the
// set-up has emptied the session (within the first second of the pause), so
// that a request the game makes on hearing it goes out on the new
// connection. Always 0.
// REQUIRES: the calling thread holds no lock of the engine: the window
// procedure may call the exports, and they take the table's lock.
int ReConnect(ClientEngine& engine, int iConnect);

// Where the session's steps hand a lost connection: ReConnect, unless a test
// has put a stand-in there (session/testing.h). The same contract.
int HandToReConnect(ClientEngine& engine, int iConnect);
