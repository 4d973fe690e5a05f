// Reads the rate in effect on a terminal device, custom rates included.
#pragma once

#include <cstdint>
#include <string>

uint32_t LineSpeedOf(const std::string& devicePath);
