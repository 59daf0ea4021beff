// The read step of the session thread: receive into the read buffer, cut the
// bytes into packets and handle each: the disconnect notice, the key answer,
// or an answer stored in the receive queue of its identifier.
#pragma once

struct ClientEngine;
struct SessionState;

// REQUIRES: the session thread (or a test standing in for it), with
// engine.connection.pReadBuf allocated; no lock held.
void ReadStep(ClientEngine& engine, SessionState& state);

// Handling what was received (no socket involved): iReceived bytes lie in
// engine.connection.pReadBuf behind the state.framer.Kept() bytes kept before; the
// complete packets among them are handled and an incomplete one is kept at
// the start of the buffer. Its lines are in the log when it returns. Tests
// feed it bytes directly.
void ParseReceived(ClientEngine& engine, SessionState& state, int iReceived);

// Parses again the bytes kept after a storage failure (an allocation that
// failed while storing an answer), without waiting for more bytes from the
// server: the session thread calls it at the start of every pass, and the
// read step before it gives up a connection. Does nothing otherwise.
void RetryKeptAnswers(ClientEngine& engine, SessionState& state);
