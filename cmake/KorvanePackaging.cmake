# Debian packages, built by CPack from the install components:
#
#   korvane-helpers     component helpers: the set-user-ID-root programs
#                       (root:www-data, mode 4750 in the archive: only the
#                       web server may run them) and their manual
#   libplugloader<N>    component plugloader: the shared library, N its
#                       SONAME version
#   libplugloader-dev   component plugloader-dev: headers, pkg-config file,
#                       CMake package files, the loader classes' manual
#
# A component that nothing installs into yet gets no package. Build them
# with `cmake --build build --target package` (or `cpack` in the build
# directory); they land in build/packages.
#
# Each package carries the Debian documentation that it must have: the
# copyright file and the changelog (gzip -9n), and, for the helpers, the
# lintian overrides for the set-user-ID bit that is their whole point.
#
# Two packaging runs of one commit give the same bytes, whatever the build
# tree's path, the time, the umask, the time zone or the locale: the
# programs carry no path (cmake/KorvaneReproducible.cmake), every archive
# time is the commit's (SOURCE_DATE_EPOCH, which dpkg-deb honours), the
# man pages and the changelog are compressed without name or time, and
# the archives are made by dpkg-deb from a tree of fixed modes and owners
# (cmake/KorvaneDebRepack.cmake), their members sorted.

# Only the web server's group may run the packaged helpers: the pages that
# start them run as www-data, and no other account needs these doors into
# root. Debian gives www-data the fixed gid 33 on every system.
set(KORVANE_DEB_HELPER_GROUP www-data)

set(KORVANE_DEB_MAINTAINER "Korvane Appliance Team <packages@korvane.example>")
set(KORVANE_DEB_RELEASE 1)
set(KORVANE_DEB_VERSION ${PROJECT_VERSION}-${KORVANE_DEB_RELEASE})
set(KORVANE_DEB_DIR ${CMAKE_BINARY_DIR}/packaging)

get_cmake_property(korvane_components COMPONENTS)

set(korvane_packaged)
if("helpers" IN_LIST korvane_components)
  list(APPEND korvane_packaged helpers)
endif()
set(korvane_lib_package libplugloader)
if(TARGET plugloader)
  get_target_property(korvane_soversion plugloader SOVERSION)
  if(korvane_soversion)
    set(korvane_lib_package libplugloader${korvane_soversion})
  endif()
endif()
foreach(component plugloader plugloader-dev)
  if(component IN_LIST korvane_components)
    list(APPEND korvane_packaged ${component})
  endif()
endforeach()

find_program(KORVANE_GZIP gzip REQUIRED)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
               ${KORVANE_DEB_DIR}/changelog.Debian @ONLY)
execute_process(
  COMMAND sh -c "\"$1\" -9n -c \"$2\" >\"$3\"" sh ${KORVANE_GZIP}
          ${KORVANE_DEB_DIR}/changelog.Debian ${KORVANE_DEB_DIR}/changelog.Debian.gz
  COMMAND_ERROR_IS_FATAL ANY)

# korvane_deb_docs(<component> <package> [<override text>]): the package's
# own doc directory and its lintian overrides.
function(korvane_deb_docs component package)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${KORVANE_DEB_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT ${component})
  list(JOIN ARGN "" extra)
  file(WRITE ${KORVANE_DEB_DIR}/${package}.overrides
    "# Packaged for the appliance, not uploaded to Debian: there is no ITP bug.\n"
    "${package}: initial-upload-closes-no-bugs\n"
    "${extra}")
  install(FILES ${KORVANE_DEB_DIR}/${package}.overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME ${package}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT ${component})
endfunction()

if("helpers" IN_LIST korvane_packaged)
  # One override per program, so that a set-user-ID file nobody meant to
  # ship is still reported. Lintian also asks, for a program that only a
  # group may run, that every account may still read it (4754); the
  # helpers stay 4750: their bytes are no secret, but no account other
  # than the web server's has any business with them.
  get_property(korvane_programs GLOBAL PROPERTY KORVANE_HELPERS)
  list(SORT korvane_programs)
  set(overrides "")
  # (Lintian shows a comment with the one override line that follows it.)
  foreach(program IN LISTS korvane_programs)
    set(only "# Only the web server's group ${KORVANE_DEB_HELPER_GROUP} may run ${program}, and no other account\n"
             "# has any access to the file.\n")
    string(APPEND overrides
      "# ${program} is started by the unprivileged web pages to act as root.\n"
      "korvane-helpers: elevated-privileges 4750 root/${KORVANE_DEB_HELPER_GROUP} [usr/bin/${program}]\n"
      ${only}
      "korvane-helpers: non-standard-setuid-executable-perm 4750 [usr/bin/${program}]\n"
      ${only}
      "korvane-helpers: executable-is-not-world-readable 4750 [usr/bin/${program}]\n")
  endforeach()
  korvane_deb_docs(helpers korvane-helpers "${overrides}")
endif()
if("plugloader" IN_LIST korvane_packaged)
  korvane_deb_docs(plugloader ${korvane_lib_package}
    "# CPack's own scripts call ldconfig; redundant next to the ldconfig trigger, and harmless.\n"
    "${korvane_lib_package}: maintscript-calls-ldconfig [postinst]\n"
    "# CPack's own scripts call ldconfig; redundant next to the ldconfig trigger, and harmless.\n"
    "${korvane_lib_package}: maintscript-calls-ldconfig [postrm]\n")
endif()
if("plugloader-dev" IN_LIST korvane_packaged)
  korvane_deb_docs(plugloader-dev libplugloader-dev)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${korvane_packaged})
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "Korvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KORVANE_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)
# CPack stages the files and writes the control files; each package is then
# packed again by dpkg-deb, which gives the helpers their group.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/KorvaneDebRepack.cmake)
set(CPACK_KORVANE_HELPER_GROUP ${KORVANE_DEB_HELPER_GROUP})
find_program(KORVANE_FAKEROOT fakeroot)
set(CPACK_KORVANE_FAKEROOT ${KORVANE_FAKEROOT})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KORVANE_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KORVANE_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SOURCE korvane)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Read by cpack before it packs. The archive's times are those of the
# commit being packaged, asked of git at packaging time (an explicit
# SOURCE_DATE_EPOCH is kept).
string(CONFIGURE [[
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "@PROJECT_SOURCE_DIR@" log -1 --format=%ct
                  OUTPUT_VARIABLE korvane_epoch RESULT_VARIABLE korvane_git
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(korvane_git EQUAL 0 AND korvane_epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${korvane_epoch})
  else()
    message(WARNING "@PROJECT_SOURCE_DIR@ is no git checkout: the packages record "
                    "the time of this run. Set SOURCE_DATE_EPOCH to make them reproducible.")
  endif()
endif()
]] korvane_cpack_config @ONLY)
if(CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 4
   AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  # dpkg-shlibdeps looks for the libraries a program needs in the host
  # architecture's multiarch directories first: told that the host is
  # i386, it finds the i386 system's own libc6, libstdc++6 and libgcc-s1
  # (installed by tools/deps.sh) and reads their symbols files, instead of
  # the amd64 system's 32-bit compatibility copies in /usr/lib32.
  string(APPEND korvane_cpack_config
    "set(ENV{DEB_HOST_ARCH} i386)\n"
    "set(ENV{DEB_HOST_MULTIARCH} ${CMAKE_LIBRARY_ARCHITECTURE})\n")
endif()
set(CPACK_PROJECT_CONFIG_FILE ${KORVANE_DEB_DIR}/cpack-project.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "${korvane_cpack_config}")

set(CPACK_DEBIAN_HELPERS_PACKAGE_NAME korvane-helpers)
set(CPACK_DEBIAN_HELPERS_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_HELPERS_DESCRIPTION
"privileged helper programs of the Korvane firewall appliance
The appliance's web administration pages run as the unprivileged web-server
user. Whenever a page needs root (start, stop or restart a daemon, make the
web proxy re-read its configuration, delete a report backup or a graph's
files, run one iptables command, run a maintenance or test script) it runs
one of these small programs, installed set-user-ID root. Only the web
server's group, www-data, may run them.
.
Each program makes itself fully root in a controlled way, checks its few
arguments, tests flag files that say whether a service is enabled, and runs
one or a few fixed command lines through /bin/sh under a fixed, trusted
environment. Arguments that reach a command line are quoted or refused, so
the caller cannot run commands of its own choosing.")

set(CPACK_DEBIAN_PLUGLOADER_PACKAGE_NAME ${korvane_lib_package})
# Multi-Arch: same, so that the amd64 and the i386 library can be installed
# side by side (their only common files, under /usr/share, are identical).
# CPack has no variable for the field; its control writer puts each value
# after its field name as it is, so the field rides on the Section line.
# packages_control checks that the field arrives.
set(CPACK_DEBIAN_PLUGLOADER_PACKAGE_SECTION "libs\nMulti-Arch: same")
# The shlibs file lets packages built against the library depend on it;
# the ldconfig trigger refreshes the linker cache as Debian expects (CPack
# also writes postinst and postrm scripts that call ldconfig themselves).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PLUGLOADER_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PLUGLOADER_DESCRIPTION
"plugin loaders of the Korvane instant-messaging proxy
The instant-messaging proxy of the Korvane firewall appliance is extended by
plugins: shared objects loaded at run time that export their entry points
under fixed symbol names. This library holds the proxy's three loaders,
ProtocolPlugin, ResponderPlugin and LoggingPlugin: each opens one plugin by
file name, binds its entry points, logs a failed load to the system log and
forwards the proxy's calls to the plugin.")

set(CPACK_DEBIAN_PLUGLOADER-DEV_PACKAGE_NAME libplugloader-dev)
set(CPACK_DEBIAN_PLUGLOADER-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PLUGLOADER-DEV_PACKAGE_DEPENDS
    "${korvane_lib_package} (= ${KORVANE_DEB_VERSION})")
set(CPACK_DEBIAN_PLUGLOADER-DEV_DESCRIPTION
"plugin loaders of the Korvane instant-messaging proxy - development files
The instant-messaging proxy of the Korvane firewall appliance loads its
plugins through the classes ProtocolPlugin, ResponderPlugin and
LoggingPlugin.
.
This package holds what is needed to build the proxy or a plugin against
them: the headers, the pkg-config file (plugloader), the CMake package
(find_package(plugloader), target plugloader::plugloader) and the manual
pages of the three classes.")

include(CPack)
