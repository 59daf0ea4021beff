// The engine record's own operation: the stop request.
#include "session/engine.h"

void ClientEngine::RequestStop() {
    iRunState = 0;
    stopSignal.Set();
}
