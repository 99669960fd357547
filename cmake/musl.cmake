# SPDX-License-Identifier: MIT
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
  # No RELRO: a static musl program has no loader to apply it (it never calls
  # mprotect), and the page alignment it asks for would only pad the file.
  target_link_options(musl_libc INTERFACE -static -nostdlib -Wl,-z,norelro
    ${_musl_lib}/Scrt1.o ${_musl_lib}/crti.o ${_gcc_crtbeginS.o})
  target_link_libraries(musl_libc INTERFACE -Wl,--start-group ${_musl_lib}/libc.a ${_gcc_libgcc.a}
    -Wl,--end-group ${_gcc_crtendS.o} ${_musl_lib}/crtn.o)
elseif(HOTPLUG_LINKAGE STREQUAL "musl")
  message(FATAL_ERROR "HOTPLUG_LINKAGE=musl needs GCC and Debian's musl for ${HOTPLUG_MUSL_TRIPLET}, "
    "and ${_musl_lib}/libc.a is missing: install musl-dev for that architecture (musl-dev:armel for "
    "the arm preset), or run tools/test-all, which does")
endif()
