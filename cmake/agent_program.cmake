# SPDX-License-Identifier: MIT
# Links a program of agent code with the C driver, so that a stray use of
# the C++ runtime fails the link instead of growing the binary. LINKAGE is
# dynamic, static (both on the compiler's C library) or musl (static on
# musl); without it HOTPLUG_LINKAGE decides. CORE links the agent's modules,
# built for the same C library.
function(agent_program target)
  cmake_parse_arguments(arg "CORE" "LINKAGE" "" ${ARGN})
  if(NOT arg_LINKAGE)
    set(arg_LINKAGE ${HOTPLUG_LINKAGE})
  endif()
  target_link_libraries(${target} PRIVATE agent_flags)
  set(core hotplug_core)
  if(arg_LINKAGE STREQUAL "musl")
    target_link_libraries(${target} PRIVATE musl_libc)
    set(core hotplug_core_musl)
  elseif(arg_LINKAGE STREQUAL "static")
    target_link_options(${target} PRIVATE -static)
  endif()
  if(arg_CORE)
    target_link_libraries(${target} PRIVATE ${core})
  endif()
  if(NOT HOTPLUG_SANITIZE AND NOT HOTPLUG_FUZZ)
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  endif()
endfunction()
