// The write step of the session thread: the key request while there is no
// session key; otherwise every waiting request of every send queue gathered
// into the write buffer and pushed out with one send, or a keep-alive.
#pragma once

struct ClientEngine;
struct SessionState;

// REQUIRES: the session thread (or a test standing in for it), with
// engine.connection.pWriteBuf allocated; no lock held.
void WriteStep(ClientEngine& engine, SessionState& state);
