# Every program and library of the tree is built the way a Debian
# maintainer builds a set-user-ID program, on both architectures: the
# helpers, plugloader and the plugins, and also the tools, tests and
# benchmarks, so that the start-up benchmark's floor pays what a helper pays.
#
#   position-independent executables    CMAKE_POSITION_INDEPENDENT_CODE, -pie
#   -fstack-protector-strong            canaries in every function with a buffer
#   -D_FORTIFY_SOURCE=3                 checked string and memory functions
#                                       (needs optimisation: not in a Debug build)
#   -fstack-clash-protection            no stack growth past the guard page
#   -fcf-protection                     indirect-branch and return markers
#   -Wformat -Werror=format-security    no caller-supplied format strings
#   -Wl,-z,relro,-z,now                 full RELRO: every symbol bound at start,
#                                       the relocated tables read-only
#
# -fcf-protection gives every object file the control-flow property note,
# but the linker keeps it in a program only when every object has it, and
# Debian 12's C library start files do not. The note is never forced with
# linker options: a program would then claim a protection it does not have.
#
# The sanitizer build leaves out _FORTIFY_SOURCE: the checked copies of the
# string functions (__memcpy_chk, ...) bypass the sanitizers' interceptors,
# so a fault there would be reported by the fortify check, or not at all,
# instead of by AddressSanitizer with its whole report.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)

add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection
                    -Wformat -Werror=format-security)
if(NOT KORVANE_SANITIZE)
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=3>)
endif()
add_link_options(-Wl,-z,relro,-z,now)
