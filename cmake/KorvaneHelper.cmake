# korvane_helper(<name> <source>...)
#
# Builds one set-user-ID-root helper program, links the runtime library and
# installs it owned by root (the installing user) into the "helpers"
# component: mode 4755 by default, so that every local user may run it, or,
# when KORVANE_HELPER_GROUP names a group, with that group and mode 4750,
# so that only the group's members may. Every helper is registered in a
# global list so that the inventory and the end-to-end tests know the whole
# set. Its name in its audit records is compiled in from <name>, never
# taken from argv[0], which the caller chooses. (The korvane-helpers
# package gives them the web server's group whatever this variable says:
# see debian/rules.)
set(KORVANE_HELPER_GROUP "" CACHE STRING
    "Group that alone may run the installed helpers (root:GROUP, mode 4750); empty: every user (root, mode 4755)")

function(korvane_helper name)
  set(namefile ${CMAKE_CURRENT_BINARY_DIR}/${name}.helpername.cpp)
  file(CONFIGURE OUTPUT ${namefile} CONTENT
       "#include \"setuid.h\"\nconst char helpername[] = \"${name}\";\n")
  add_executable(${name} ${ARGN} ${namefile})
  target_link_libraries(${name} PRIVATE setuid)
  set(world WORLD_READ WORLD_EXECUTE)
  if(KORVANE_HELPER_GROUP)
    set(world)
  endif()
  install(TARGETS ${name}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT helpers
          PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                      GROUP_READ GROUP_EXECUTE
                      ${world}
                      SETUID)
  if(KORVANE_HELPER_GROUP)
    set(dir ${CMAKE_INSTALL_BINDIR})
    if(NOT IS_ABSOLUTE "${dir}")
      set(dir "\${CMAKE_INSTALL_PREFIX}/${dir}")
    endif()
    # The kernel clears the set-user-ID bit when the group changes, so the
    # mode is set again afterwards. Only root may give a file a group it is
    # not a member of: such an install fails for anyone else.
    install(CODE "
      set(program \"\$ENV{DESTDIR}${dir}/${name}\")
      execute_process(COMMAND chgrp -- \"${KORVANE_HELPER_GROUP}\" \${program} COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND chmod 4750 \${program} COMMAND_ERROR_IS_FATAL ANY)"
      COMPONENT helpers)
  endif()
  set_property(GLOBAL APPEND PROPERTY KORVANE_HELPERS ${name})
endfunction()

# Writes ${CMAKE_BINARY_DIR}/helpers.list: one installed program name a line.
function(korvane_write_helper_list)
  get_property(names GLOBAL PROPERTY KORVANE_HELPERS)
  list(SORT names)
  list(JOIN names "\n" text)
  file(WRITE ${CMAKE_BINARY_DIR}/helpers.list "${text}\n")
endfunction()
