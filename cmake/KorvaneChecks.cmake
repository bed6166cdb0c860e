# KORVANE_CHECKS: in the native build, every unit test also runs under
# valgrind memcheck, and cppcheck and clang-tidy check the project's own
# code; all three are ctest tests. Not in the 32-bit build (memcheck covers
# the same code in the native build, and valgrind cannot run under the
# emulator that some machines need for it) nor in the sanitizer build (the
# sanitizers and valgrind exclude each other; the analysers need only one
# build).
option(KORVANE_CHECKS "Memcheck and static analysis tests (native build)" ON)
if(KORVANE_CHECKS AND NOT CMAKE_CROSSCOMPILING AND NOT KORVANE_SANITIZE)
  set(KORVANE_CHECKS_ACTIVE ON)
  set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
  find_program(KORVANE_VALGRIND valgrind REQUIRED)
  find_program(KORVANE_CPPCHECK cppcheck REQUIRED)
  find_program(KORVANE_RUN_CLANG_TIDY run-clang-tidy REQUIRED)
else()
  set(KORVANE_CHECKS_ACTIVE OFF)
endif()
set(KORVANE_ANALYSIS_TOOLS ${CMAKE_CURRENT_LIST_DIR}/../tools/analysis)

# korvane_memcheck(<test program> [<prefix>...]): the program's tests once
# more under memcheck: no memory error and no leak, in it or in the
# processes it forks. The prefix (a command and its arguments) starts the
# whole run, as it starts the program's own.
function(korvane_memcheck name)
  if(NOT KORVANE_CHECKS_ACTIVE)
    return()
  endif()
  add_test(NAME ${name}_memcheck
           COMMAND ${ARGN} ${KORVANE_ANALYSIS_TOOLS}/memcheck.sh
                   ${CMAKE_CURRENT_BINARY_DIR}/memcheck-${name} $<TARGET_FILE:${name}>)
  set_tests_properties(${name}_memcheck PROPERTIES TIMEOUT 1200 LABELS memcheck)
endfunction()

# The two analysers, over the whole tree as the native build compiles it.
function(korvane_analysis_tests)
  if(NOT KORVANE_CHECKS_ACTIVE)
    return()
  endif()
  add_test(NAME cppcheck
           COMMAND ${KORVANE_ANALYSIS_TOOLS}/cppcheck.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  add_test(NAME clang_tidy
           COMMAND ${KORVANE_ANALYSIS_TOOLS}/clang-tidy.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(cppcheck clang_tidy PROPERTIES TIMEOUT 1800 LABELS analysis)
endfunction()
