# `cpack -G DEB` in a build directory makes vantrel-agent_<version>_<arch>.deb:
# the agent, both libraries, the headers, the CMake package, the systemd unit
# vantrel-agent.service and an example configuration. Installed under /usr.
set(CPACK_PACKAGE_NAME vantrel-agent)
set(CPACK_PACKAGE_VENDOR "VantrelMonitor")
set(CPACK_PACKAGE_CONTACT "VantrelMonitor maintainers <vantrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "File-monitoring component of a log-collection agent, and the vantrel-agent service")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
  ${PROJECT_SOURCE_DIR}/cmake/debian/prerm
  ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
