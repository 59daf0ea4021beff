// The system's adapter list behind adapters.h, one per platform. Only
// adapter_hooks.cpp calls it.
#pragma once

#include <cstdint>

#include "platform/adapters.h"

namespace platform {

uint32_t SystemQueryAdapters(AdapterRecord* pList, uint32_t* pdwSize);

}  // namespace platform
