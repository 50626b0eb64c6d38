#include "platform/tempnames.h"

#include <windows.h>

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }
