#include "base/lock.h"

KThreadMutex::KThreadMutex() = default;
KThreadMutex::~KThreadMutex() = default;

void KThreadMutex::Lock() { criticalSection.Enter(); }
void KThreadMutex::Unlock() { criticalSection.Leave(); }
