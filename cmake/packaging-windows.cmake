# The Windows installers, built with wixl and msibuild (Debian packages wixl
# and msitools) when they are installed:
#   ormid-doc-editor-<version>-x64.msi       for every user: Program Files, HKLM,
#                                            optional policy values
#   ormid-doc-editor-<version>-x64-user.msi  for the installing user: %LOCALAPPDATA%\Programs, HKCU
# Both hold the host, the client and the manifests for Chrome, Edge and
# Firefox (install/windows/ormid-doc-editor.wxs), never the stand-in server.
include(${CMAKE_CURRENT_LIST_DIR}/manifests.cmake)

find_program(ORMID_WIXL wixl)
find_program(ORMID_MSIBUILD msibuild)
find_program(ORMID_MSIINFO msiinfo)
if(NOT ORMID_WIXL OR NOT ORMID_MSIBUILD OR NOT ORMID_MSIINFO)
  message(STATUS "wixl or msitools missing: no Windows installer (scripts/packages.sh windows installs them)")
  return()
endif()

# The manifests name the executable by its file name: browsers resolve it
# against the manifest's folder, wherever the installation went.
set(ORMID_MSI_DIR ${CMAKE_BINARY_DIR}/msi)
ormid_manifests(${ORMID_MSI_DIR} ormid-doc-editor.exe)

set(ORMID_MSI_MACHINE ${CMAKE_BINARY_DIR}/ormid-doc-editor-${PROJECT_VERSION}-x64.msi)
set(ORMID_MSI_USER ${CMAKE_BINARY_DIR}/ormid-doc-editor-${PROJECT_VERSION}-x64-user.msi)
set(build_msi ${PROJECT_SOURCE_DIR}/install/windows/build-msi.sh)
set(msi_inputs ${build_msi} ${PROJECT_SOURCE_DIR}/install/windows/ormid-doc-editor.wxs
    ${ORMID_MSI_DIR}/chromium/ormid.doc_editor.json ${ORMID_MSI_DIR}/firefox/ormid.doc_editor.json
    ormid-doc-editor ormid-client)
foreach(scope MACHINE USER)
  string(TOLOWER ${scope} kind)
  add_custom_command(OUTPUT ${ORMID_MSI_${scope}}
                     COMMAND ${build_msi} ${ORMID_MSI_${scope}} per-${kind} ${PROJECT_VERSION}
                             $<TARGET_FILE_DIR:ormid-doc-editor> ${ORMID_MSI_DIR}
                     DEPENDS ${msi_inputs}
                     COMMENT "Windows installer ${ORMID_MSI_${scope}}" VERBATIM)
endforeach()
add_custom_target(ormid_msi ALL DEPENDS ${ORMID_MSI_MACHINE} ${ORMID_MSI_USER})
