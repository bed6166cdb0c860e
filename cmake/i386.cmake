# The appliance's own platform: 32-bit x86 with glibc. Built with Debian's
# i386 cross compilers (package crossbuild-essential-i386), the same that
# `dpkg-buildpackage -a i386` uses for the i386 packages. Where the kernel runs 32-bit
# x86 programs as they are (an x86-64 kernel with IA-32 emulation, the
# usual case), or where binfmt_misc hands them to qemu-i386 (as
# tools/i386-binfmt.sh arranges for a test run), the test programs and the
# installed helpers run as they are and the whole suite runs, end-to-end
# tests included; elsewhere the in-process tests run under qemu-i386
# (package qemu-user), through CMake's cross-compiling emulator, and the
# end-to-end tests are left out.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Decided afresh at every configure of the build tree, so that it follows
# the machine (tools/i386-binfmt.sh may have made 32-bit programs runnable
# for the run), by building and starting a tiny -m32 program. The file is
# read again for every compiler check: there the answer is passed on.
get_property(korvane_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT korvane_in_try_compile)
  set(korvane_probe ${CMAKE_BINARY_DIR}/CMakeFiles/korvane-i386-probe)
  file(WRITE ${korvane_probe}.c "int main(void) { return sizeof(void *) == 4 ? 0 : 1; }\n")
  set(korvane_probe_ran 1)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 ${korvane_probe}.c -o ${korvane_probe}
                  RESULT_VARIABLE korvane_probe_built OUTPUT_QUIET ERROR_QUIET)
  if(korvane_probe_built EQUAL 0)
    execute_process(COMMAND ${korvane_probe}
                    RESULT_VARIABLE korvane_probe_ran OUTPUT_QUIET ERROR_QUIET)
  endif()
  # Where they run, an enabled binfmt_misc entry for i386 ELF programs
  # (32-bit little-endian, machine 3) means an emulator runs them, not the
  # kernel: it comes before the kernel's own loader. The test support
  # leaves out, by name, the rows that depend on what the emulator does not
  # do.
  set(korvane_emulator "")
  if(korvane_probe_ran EQUAL 0)
    file(GLOB korvane_entries /proc/sys/fs/binfmt_misc/*)
    foreach(entry IN LISTS korvane_entries)
      get_filename_component(entry_name ${entry} NAME)
      if(entry_name STREQUAL "register" OR entry_name STREQUAL "status")
        continue()
      endif()
      file(STRINGS ${entry} entry_lines)
      if("enabled" IN_LIST entry_lines AND entry_lines MATCHES "magic 7f454c460101........................0300"
         AND entry_lines MATCHES "interpreter ([^;]+)")
        get_filename_component(korvane_emulator ${CMAKE_MATCH_1} NAME)
        break()
      endif()
    endforeach()
  endif()
  if(korvane_probe_ran EQUAL 0)
    set(KORVANE_I386_NATIVE ON CACHE INTERNAL "The kernel runs 32-bit x86 programs")
  else()
    set(KORVANE_I386_NATIVE OFF CACHE INTERNAL "The kernel runs 32-bit x86 programs")
  endif()
  set(KORVANE_I386_EMULATOR "${korvane_emulator}" CACHE INTERNAL
      "The emulator binfmt_misc hands 32-bit x86 programs to, if any")
  get_property(korvane_said GLOBAL PROPERTY KORVANE_I386_SAID)
  if(NOT korvane_said)
    set_property(GLOBAL PROPERTY KORVANE_I386_SAID ON)
    if(NOT KORVANE_I386_NATIVE)
      message(STATUS "32-bit x86 programs: the kernel runs none; in-process tests under qemu-i386, "
                     "no end-to-end tests")
    elseif(korvane_emulator)
      message(STATUS "32-bit x86 programs: run by ${korvane_emulator} through binfmt_misc")
    else()
      message(STATUS "32-bit x86 programs: run by the kernel itself")
    endif()
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_I386_NATIVE)

if(NOT KORVANE_I386_NATIVE)
  find_program(KORVANE_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVANE_QEMU_I386})
endif()
