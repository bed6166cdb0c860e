# Installs plugloader into a staging prefix, builds the consumer project
# against it and runs both hosts with the consumer's plugin.
# Needs BUILD (this build tree), SOURCE (the consumer project), WORK;
# TOOLCHAIN, when not empty, is the build's toolchain file.
file(REMOVE_RECURSE ${WORK})
foreach(component plugloader plugloader-dev)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --component ${component}
                          --prefix ${WORK}/stage
                  COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
endforeach()

# Only what a consumer sees: the installed files, found by the usual means.
file(GLOB_RECURSE pcfiles ${WORK}/stage/*/plugloader.pc)
list(LENGTH pcfiles count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one installed plugloader.pc, found: ${pcfiles}")
endif()
get_filename_component(pcdir ${pcfiles} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
set(toolchain)
if(TOOLCHAIN)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/consumer
                        -DCMAKE_PREFIX_PATH=${WORK}/stage ${toolchain}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/consumer
                COMMAND_ERROR_IS_FATAL ANY)

foreach(host host_cmake host_pkgconfig)
  execute_process(COMMAND ${WORK}/consumer/${host} ${WORK}/consumer/echoplugin.so
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "echo logger 1 3 1\n")
    message(FATAL_ERROR "${host}: status ${rc}, output '${out}'")
  endif()
  message(STATUS "${host}: ${out}")
endforeach()
