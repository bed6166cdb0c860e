# The appliance's own platform: 32-bit x86 with glibc. Built with Debian's
# i386 cross compilers (package crossbuild-essential-i386), the same that
# `dpkg-buildpackage -a i386` uses for the i386 packages. Where the kernel runs 32-bit
# x86 programs as they are (an x86-64 kernel with IA-32 emulation, the
# usual case), the test programs and the installed helpers run natively and
# the whole suite runs, end-to-end tests included; elsewhere the in-process
# tests run under qemu-i386 (package qemu-user), through CMake's
# cross-compiling emulator, and the end-to-end tests are left out.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Decided once per build tree by building and starting a tiny -m32 program
# (the file is read again for every compiler check; the answer is passed on).
if(NOT DEFINED KORVANE_I386_NATIVE)
  set(korvane_probe ${CMAKE_BINARY_DIR}/CMakeFiles/korvane-i386-probe)
  file(WRITE ${korvane_probe}.c "int main(void) { return sizeof(void *) == 4 ? 0 : 1; }\n")
  set(korvane_probe_ran 1)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 ${korvane_probe}.c -o ${korvane_probe}
                  RESULT_VARIABLE korvane_probe_built OUTPUT_QUIET ERROR_QUIET)
  if(korvane_probe_built EQUAL 0)
    execute_process(COMMAND ${korvane_probe}
                    RESULT_VARIABLE korvane_probe_ran OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(korvane_probe_ran EQUAL 0)
    set(KORVANE_I386_NATIVE ON CACHE INTERNAL "The kernel runs 32-bit x86 programs")
  else()
    set(KORVANE_I386_NATIVE OFF CACHE INTERNAL "The kernel runs 32-bit x86 programs")
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KORVANE_I386_NATIVE)

if(NOT KORVANE_I386_NATIVE)
  find_program(KORVANE_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVANE_QEMU_I386})
endif()
