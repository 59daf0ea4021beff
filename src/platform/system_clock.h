// The system clocks behind clock.h, one set per platform. Only the hooks in
// clock_hooks.cpp call these; everything else goes through clock.h.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace platform {

int64_t SystemNowSeconds();
void SystemGetLocalTime(LocalTime* pTime);
uint32_t SystemTickMs();
void SystemSleepMs(uint32_t dwMs);

}  // namespace platform
