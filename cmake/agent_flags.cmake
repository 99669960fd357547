# Flags for code that ends up in the agent: no exceptions, no RTTI, nothing
# that pulls the C++ runtime in, and dead code dropped at link time.
add_library(agent_flags INTERFACE)
target_compile_options(agent_flags INTERFACE
  -Wall -Wextra -Werror=return-type
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables
  -ffunction-sections -fdata-sections)
target_link_options(agent_flags INTERFACE
  -Wl,--gc-sections -Wl,--as-needed)

if(HOTPLUG_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(HOTPLUG_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Links a program of agent code with the C driver, so that a stray use of
# the C++ runtime fails the link instead of growing the binary.
# LINKAGE is static or dynamic; without it HOTPLUG_STATIC decides.
function(agent_program target)
  cmake_parse_arguments(arg "" "LINKAGE" "" ${ARGN})
  if(NOT arg_LINKAGE)
    if(HOTPLUG_STATIC)
      set(arg_LINKAGE static)
    else()
      set(arg_LINKAGE dynamic)
    endif()
  endif()
  target_link_libraries(${target} PRIVATE agent_flags)
  if(arg_LINKAGE STREQUAL "static")
    target_link_options(${target} PRIVATE -static)
  endif()
  if(NOT HOTPLUG_SANITIZE AND NOT HOTPLUG_FUZZ)
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  endif()
endfunction()
