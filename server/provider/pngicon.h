#pragma once

#include <cstdint>
#include <string>

namespace provider {

// A 32 x 32 plan badge drawn here: a disc in the plan's colour with `level` white bars, as PNG bytes.
std::string planIconPng(uint32_t rgb, int level);

} // namespace provider
