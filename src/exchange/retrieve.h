// Retrieving results: the game's blocking reads of the receive queues, and
// the check of the local network behind a refused read.
#pragma once

struct Exchange;

// Read_Message1's worker: the oldest pending answer of type iType in the
// receive queue of iQueueId, waited for up to iTimeout seconds.
int ReturnUserRequestResult1(const Exchange& exchange, char* OutputBuff, int iOutputLength,
                             int iTimeout, int iQueueId, int iType);

// Read_Message2's worker: the oldest pending message of type 400 or more in
// the receive queue of 0; its type goes to *piType (0 when none was taken).
// iReserved is not used.
int ReturnUserRequestResultEx(const Exchange& exchange, char* OutputBuff, int iOutputLength,
                              int iTimeout, int iReserved, int* piType);

// The local network: -1 adapters without addresses, -2 no adapter, -3 the
// query failed, -9 the network looks sound.
int CheckNetworkState();
