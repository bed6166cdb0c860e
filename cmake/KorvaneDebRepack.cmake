# Run by cpack once it has made the packages (CPACK_POST_BUILD_SCRIPTS).
# Each package is unpacked and packed again by dpkg-deb, in one fakeroot
# session, so that the real files never change owner and no root is
# needed:
#
# - in korvane-helpers, every set-user-ID program gets the group
#   CPACK_KORVANE_HELPER_GROUP and mode 4750: only that group's members
#   may run it. CPack's Debian writer records every member as root/root,
#   whatever the staged files' groups.
# - every directory gets mode 0755. The install rules give each file its
#   mode, but directories are made as needed under the packager's umask
#   (CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS does not override it), and
#   CPack's writer also takes the modes of its own archive members from the
#   umask: under umask 077 /usr was drwx------.
#
# dpkg-deb keeps CPack's control files (md5sums included: no content
# changes), records members sorted, owned as the tree says, and takes every
# time in the archive from SOURCE_DATE_EPOCH.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "\\.deb$")
    continue()  # another generator's package (cpack -G TGZ, say)
  elseif(NOT CPACK_KORVANE_FAKEROOT)
    message(FATAL_ERROR "fakeroot is needed to pack ${name} (tools/deps.sh installs it)")
  endif()
  set(group "")
  if(name MATCHES "^korvane-helpers_")
    set(group ${CPACK_KORVANE_HELPER_GROUP})
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack)
  file(REMOVE_RECURSE ${tree})
  execute_process(
    COMMAND ${CPACK_KORVANE_FAKEROOT} -- sh -ec [[
      deb=$1 tree=$2 group=$3
      umask 022
      dpkg-deb --raw-extract "$deb" "$tree"
      find "$tree" -type d -exec chmod 0755 {} +
      if [ -n "$group" ]; then
          find "$tree" -type f -perm -4000 -exec chgrp -- "$group" {} \; -exec chmod 4750 {} \;
      fi
      dpkg-deb --build -Zgzip -z9 "$tree" "$deb" >/dev/null
    ]] sh ${deb} ${tree} "${group}"
    COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
  if(group)
    message(STATUS "${name}: set-user-ID programs root:${group}, mode 4750")
  endif()
endforeach()
