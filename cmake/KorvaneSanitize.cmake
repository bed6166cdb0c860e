# KORVANE_SANITIZE: the whole tree (runtime library, helpers, test programs
# and tools) built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Any finding ends the program at once (no recovery), so a fault cannot
# pass as a test success. This build is for testing only and must never be
# installed on an appliance: a sanitizer runtime in a set-user-ID program
# reads its options, log path included, from the caller's environment.
option(KORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer (testing only)" OFF)

if(KORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)

  # Reports are also written below the build tree, one file per process,
  # so that a finding in a program whose standard error a test closed or
  # did not look at still fails the suite (see tests/CMakeLists.txt).
  set(KORVANE_SANITIZER_REPORTS ${CMAKE_BINARY_DIR}/sanitizer-reports)
  file(MAKE_DIRECTORY ${KORVANE_SANITIZER_REPORTS})
  add_library(sanitizer_defaults OBJECT ${CMAKE_CURRENT_LIST_DIR}/sanitizer_defaults.cpp)
  target_compile_definitions(sanitizer_defaults PRIVATE
    KORVANE_SANITIZER_LOG="${KORVANE_SANITIZER_REPORTS}/report")

  # Every executable gets the compiled-in defaults: helpers are started by
  # the tests with an environment of the test's choosing, so options given
  # through the environment would not reach them.
  function(korvane_sanitize_executables dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      if(type STREQUAL "EXECUTABLE")
        set_property(TARGET ${t} APPEND PROPERTY LINK_LIBRARIES sanitizer_defaults)
      endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
      korvane_sanitize_executables(${sub})
    endforeach()
  endfunction()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR}
                 CALL korvane_sanitize_executables ${CMAKE_SOURCE_DIR})
endif()

# korvane_sanitizer_watch(<test>...): the tests' processes may leave
# sanitizer reports; the check after the last of them fails on any.
function(korvane_sanitizer_watch)
  if(KORVANE_SANITIZE)
    set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED sanitizer_reports)
  endif()
endfunction()

# The two ends of that fixture: the report directory emptied before the
# first watched test, and searched after the last.
function(korvane_sanitizer_report_tests)
  if(NOT KORVANE_SANITIZE)
    return()
  endif()
  add_test(NAME sanitizer_reports_clear
           COMMAND sh -c "rm -rf \"$1\" && mkdir -p \"$1\"" sh ${KORVANE_SANITIZER_REPORTS})
  add_test(NAME sanitizer_reports_none
           COMMAND sh -c "if ls -A \"$1\" | grep -q .; then cat \"$1\"/*; exit 1; fi" sh
                   ${KORVANE_SANITIZER_REPORTS})
  set_tests_properties(sanitizer_reports_clear PROPERTIES FIXTURES_SETUP sanitizer_reports)
  set_tests_properties(sanitizer_reports_none PROPERTIES FIXTURES_CLEANUP sanitizer_reports)
endfunction()
