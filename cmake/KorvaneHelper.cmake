# korvane_helper(<name> <source>...)
#
# Builds one set-user-ID-root helper program, links the runtime library and
# installs it owned by root (the installing user) with mode 4755 into the
# "helpers" component. Every helper is registered in a global list so that
# the inventory and the end-to-end tests know the whole set.
function(korvane_helper name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE setuid)
  install(TARGETS ${name}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT helpers
          PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                      GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE
                      SETUID)
  set_property(GLOBAL APPEND PROPERTY KORVANE_HELPERS ${name})
endfunction()

# Writes ${CMAKE_BINARY_DIR}/helpers.list: one installed program name a line.
function(korvane_write_helper_list)
  get_property(names GLOBAL PROPERTY KORVANE_HELPERS)
  list(SORT names)
  list(JOIN names "\n" text)
  file(WRITE ${CMAKE_BINARY_DIR}/helpers.list "${text}\n")
endfunction()
