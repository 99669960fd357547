# SPDX-License-Identifier: MIT
# Flags for code that ends up in the agent: no exceptions, no RTTI, nothing
# that pulls the C++ runtime in, no C++ library header, and dead code
# dropped at link time.
add_library(agent_flags INTERFACE)
target_compile_options(agent_flags INTERFACE
  -Werror=return-type -nostdinc++
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -ffunction-sections -fdata-sections)
target_link_options(agent_flags INTERFACE
  -Wl,--gc-sections -Wl,--as-needed)
