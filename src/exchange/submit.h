// Submitting requests: checks a request from the game and queues it in the
// send queue of its identifier N (the second field of its text).
#pragma once

struct Exchange;

// 1 queued; -1 type outside 200..399 or fewer than 3 fields; -3 length
// outside 1..65520 (a null text counts as empty); -4 the queue could not be
// allocated; -5 the table refused it; -7 the node or packet could not be
// allocated; -9 an exception.
int ProcessUserRequest(const Exchange& exchange, const char* szInput, int iInputLength, int iType);
