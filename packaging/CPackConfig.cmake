# The Debian package and the tarball of an install (bash scripts/package.sh builds both).
set(CPACK_PACKAGE_NAME "libevent-es")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "libevent_es")
set(CPACK_PACKAGE_CONTACT "libevent_es maintainers <maintainers@libevent-es.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CDC sink plug-in that indexes row documents in a search engine")
set(CPACK_PACKAGE_DESCRIPTION "libevent_es.so is a sink plug-in for a change-data-capture server.
It decodes the server's event blocks in parallel and forwards the JSON
documents of inserted rows to a search engine (major versions 7 and 8)
through libes_writer.so, which it finds in its own directory.

The package also holds cdc-es-replay, which drives the plug-in as the
server does from NDJSON files or generated rows, and the headers a host
needs to load the plug-in.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dependencies on the runtime packages found by dpkg-shlibdeps
# dpkg-shlibdeps resolves libes_writer.so, which lies beside the plug-in, from the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/es_writer")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")

# What Debian's policy asks of every package: the copyright, a changelog and a manual page.
set(EVENT_ES_PKG_DOC "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${EVENT_ES_PKG_DOC}")
configure_file("${CMAKE_SOURCE_DIR}/packaging/changelog.in" "${EVENT_ES_PKG_DOC}/changelog" @ONLY)
execute_process(COMMAND gzip -9nf "${EVENT_ES_PKG_DOC}/changelog")
configure_file("${CMAKE_SOURCE_DIR}/packaging/cdc-es-replay.1" "${EVENT_ES_PKG_DOC}/cdc-es-replay.1" COPYONLY)
execute_process(COMMAND gzip -9nf "${EVENT_ES_PKG_DOC}/cdc-es-replay.1")
install(FILES "${CMAKE_SOURCE_DIR}/packaging/copyright" "${EVENT_ES_PKG_DOC}/changelog.gz"
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES "${EVENT_ES_PKG_DOC}/cdc-es-replay.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

include(CPack)
