#pragma once

#include <cstdint>

int32_t gadget_handler();
