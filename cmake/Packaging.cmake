# `cpack -G DEB` in a build directory makes two packages, split as Debian
# splits a library:
#   vantrel-agent_<version>_<arch>.deb      the agent, both shared libraries,
#       the systemd unit, the example configuration, the logrotate snippet,
#       the manual page and the README
#   vantrel-agent-dev_<version>_<arch>.deb  the headers, the libraries' link
#       names and the CMake package
# Installed under /usr, binaries stripped. The install() rules name their
# component: "agent" or "dev".
#
# In the Windows build, `cpack -G ZIP` makes vantrel-agent-<version>-win64.zip
# with one folder: bin\ holds the agent, both DLLs, ACE's and the run-time DLLs,
# share\vantrel-agent the example configuration, share\doc README.md (the
# "agent" component; the headers stay out).
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME vantrel-agent)
  set(CPACK_PACKAGE_VENDOR "VantrelMonitor")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME vantrel-agent-${PROJECT_VERSION}-win64)
  set(CPACK_COMPONENTS_ALL agent)
  # Without these the archive would hold every component, the dev one too.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

set(CPACK_PACKAGE_NAME vantrel-agent)
set(CPACK_PACKAGE_VENDOR "VantrelMonitor")
set(CPACK_PACKAGE_CONTACT "VantrelMonitor maintainers <maintainers@vantrel-monitor.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL agent dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file of the libraries (only the agent's package holds any).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vantrel-monitor.org/")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME vantrel-agent)
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_AGENT_DESCRIPTION
"file monitor of a log-collection agent, and its service
The vantrel-agent service loads the VantrelMonitor component, a shared
library that checks files and directories with a pool of worker threads
(by polling, or with inotify), and prints one line per change: created,
deleted, grown, shrunk or written.
.
This package holds the agent, the component and its host library, a
sandboxed systemd unit that runs the agent on /etc/vantrel-agent.conf and a
logrotate snippet for the agent's own log.")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
  ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
  ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME vantrel-agent-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "vantrel-agent (= ${PROJECT_VERSION}), libace-dev, libboost-dev, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"file monitor of a log-collection agent - development files
The VantrelMonitor component checks files and directories with a pool of
worker threads and reports their changes to receivers that a program
registers.
.
This package holds the headers, the link names of the libraries and the
CMake package: find_package(VantrelMonitor) and link
VantrelMonitor::VantrelMonitor.")

# Every package's /usr/share/doc/<package>: the copyright and, compressed as
# Debian wants it, the changelog.
set(VANTREL_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  OUTPUT_FILE ${VANTREL_DEBIAN_CHANGELOG} RESULT_VARIABLE gzipped)
if(NOT gzipped EQUAL 0)
  message(FATAL_ERROR "gzip could not compress cmake/debian/changelog")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
foreach(component agent dev)
  set(package vantrel-agent)
  if(component STREQUAL dev)
    set(package vantrel-agent-dev)
  endif()
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${VANTREL_DEBIAN_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# The one lintian override, with its reason.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/vantrel-agent.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vantrel-agent COMPONENT agent)

include(CPack)
