#pragma once

#include <stdint.h>

int32_t gadget_handler();
