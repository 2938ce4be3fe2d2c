# The Debian package: cpack -G DEB --config build/CPackConfig.cmake
#
# It holds the host and the office's module in /usr/lib/ormid-doc-editor (the
# host loads its modules from its own directory), the installer in /usr/bin and
# the native-messaging manifests where Chromium, Chrome and Firefox read them
# system-wide. The manifests name the packaged host and allow the extensions
# set here.
include(${CMAKE_CURRENT_LIST_DIR}/manifests.cmake)
set(ORMID_PACKAGE_POLICY "" CACHE FILEPATH
    "A policy (JSON) the package installs as /etc/ormid-doc-editor/policy.json, a conffile; empty: none")
set(ORMID_PACKAGE_MAINTAINER "ormid-doc-editor maintainers <maintainers@ormid.example>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(ORMID_PACKAGED_HOST ${CPACK_PACKAGING_INSTALL_PREFIX}/lib/ormid-doc-editor/ormid-doc-editor)
set(ORMID_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)

ormid_manifests(${ORMID_PACKAGE_DIR} ${ORMID_PACKAGED_HOST})

# Debian's documentation files: copyright and a changelog of this release.
string(TIMESTAMP ORMID_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${ORMID_PACKAGE_DIR}/changelog @ONLY CONTENT [[ormid-doc-editor (@PROJECT_VERSION@) unstable; urgency=medium

  * Release @PROJECT_VERSION@.

 -- @ORMID_PACKAGE_MAINTAINER@  @ORMID_CHANGELOG_DATE@
]])
execute_process(COMMAND gzip -9nf ${ORMID_PACKAGE_DIR}/changelog)
# An administrator's policy, when one is given: checked here, so that a package
# never ships one the host would refuse to use.
set(ORMID_POLICY_CONFFILE "")
if(ORMID_PACKAGE_POLICY)
  file(READ ${ORMID_PACKAGE_POLICY} policy_text)
  string(JSON policy_type ERROR_VARIABLE policy_error TYPE "${policy_text}")
  if(policy_error OR NOT policy_type STREQUAL "OBJECT")
    message(FATAL_ERROR "ORMID_PACKAGE_POLICY ${ORMID_PACKAGE_POLICY} is not a JSON object: ${policy_error}")
  endif()
  set(ORMID_POLICY_CONFFILE "/etc/ormid-doc-editor/policy.json\n")
endif()
file(CONFIGURE OUTPUT ${ORMID_PACKAGE_DIR}/conffiles @ONLY CONTENT [[/etc/chromium/native-messaging-hosts/@ORMID_HOST_NAME@.json
/etc/opt/chrome/native-messaging-hosts/@ORMID_HOST_NAME@.json
@ORMID_POLICY_CONFFILE@]])
# The office's module finds the office's UNO libraries in the office's program
# directory, which is not on the linker's search path; Chrome reads system-wide
# manifests only from /etc/opt/chrome.
file(CONFIGURE OUTPUT ${ORMID_PACKAGE_DIR}/lintian-overrides @ONLY CONTENT [[ormid-doc-editor: custom-library-search-path *
ormid-doc-editor: dir-or-file-in-etc-opt *
]])

# Only the package installs these: the rules belong to a component that a
# plain install leaves out, and CPack adds it below.
set(component COMPONENT ormid_package EXCLUDE_FROM_ALL)
install(FILES ${ORMID_PACKAGE_DIR}/chromium/${ORMID_HOST_NAME}.json
        DESTINATION /etc/chromium/native-messaging-hosts ${component})
install(FILES ${ORMID_PACKAGE_DIR}/chromium/${ORMID_HOST_NAME}.json
        DESTINATION /etc/opt/chrome/native-messaging-hosts ${component})
install(FILES ${ORMID_PACKAGE_DIR}/firefox/${ORMID_HOST_NAME}.json
        DESTINATION ${CPACK_PACKAGING_INSTALL_PREFIX}/lib/mozilla/native-messaging-hosts ${component})
if(ORMID_PACKAGE_POLICY)
  install(FILES ${ORMID_PACKAGE_POLICY} DESTINATION /etc/ormid-doc-editor RENAME policy.json
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ ${component})
endif()
install(FILES ${ORMID_PACKAGE_DIR}/changelog.gz DESTINATION ${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/ormid-doc-editor ${component})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/ormid-doc-editor RENAME copyright ${component})
install(FILES ${ORMID_PACKAGE_DIR}/lintian-overrides DESTINATION ${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides
        RENAME ormid-doc-editor ${component})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ormid-doc-editor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ORMID_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "native-messaging host editing web documents in a word processor")
set(CPACK_PACKAGE_DESCRIPTION
    "A browser extension hands a document from a web page to this host, which\n"
    "opens it in the desktop word processor (LibreOffice Writer) and sends the\n"
    "edited document back to the page.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ORMID_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libreoffice-writer)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ORMID_PACKAGE_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Everything a plain install installs but the stand-in module (a test double),
# and the package's own files.
set(CPACK_INSTALL_CMAKE_PROJECTS
    ${CMAKE_BINARY_DIR} ${PROJECT_NAME} Unspecified /
    ${CMAKE_BINARY_DIR} ${PROJECT_NAME} ormid_package /)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
include(CPack)
