# Flags for code that ends up in the agent: no exceptions, no RTTI, nothing
# that pulls the C++ runtime in, no C++ library header, and dead code
# dropped at link time.
add_library(agent_flags INTERFACE)
target_compile_options(agent_flags INTERFACE
  -Wall -Wextra -Werror=return-type -nostdinc++
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

# Debian's musl for the target, when it is installed: its headers only, and
# its static C library between its start files and gcc's, as its own
# compiler wrapper links a static program.
string(REPLACE "-gnu" "-musl" _musl "${CMAKE_C_LIBRARY_ARCHITECTURE}")
set(HOTPLUG_MUSL_TRIPLET "${_musl}" CACHE STRING "Target triplet of Debian's musl (/usr/lib/TRIPLET)")
set(_musl_include /usr/include/${HOTPLUG_MUSL_TRIPLET})
set(_musl_lib /usr/lib/${HOTPLUG_MUSL_TRIPLET})
if(HOTPLUG_MUSL_TRIPLET AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND EXISTS ${_musl_include}/stdlib.h
   AND EXISTS ${_musl_lib}/libc.a)
  foreach(file crtbeginS.o crtendS.o libgcc.a)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${file}
                    OUTPUT_VARIABLE _gcc_${file} OUTPUT_STRIP_TRAILING_WHITESPACE)
  endforeach()
  add_library(musl_libc INTERFACE)
  target_compile_options(musl_libc INTERFACE -nostdinc -isystem ${_musl_include})
  # Start files before the objects; the C library, gcc's (which calls back
  # into it) and the end files after them.
  target_link_options(musl_libc INTERFACE -static -nostdlib
    ${_musl_lib}/Scrt1.o ${_musl_lib}/crti.o ${_gcc_crtbeginS.o})
  target_link_libraries(musl_libc INTERFACE -Wl,--start-group ${_musl_lib}/libc.a ${_gcc_libgcc.a}
    -Wl,--end-group ${_gcc_crtendS.o} ${_musl_lib}/crtn.o)
elseif(HOTPLUG_LINKAGE STREQUAL "musl")
  message(FATAL_ERROR "HOTPLUG_LINKAGE=musl needs GCC and Debian's musl for ${HOTPLUG_MUSL_TRIPLET}, "
    "and ${_musl_lib}/libc.a is missing: install musl-dev for that architecture (musl-dev:armel for "
    "the arm preset), or run tools/test-all, which does")
endif()

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
