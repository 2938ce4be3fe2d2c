# The Windows installers, built with wixl and msibuild (Debian packages wixl
# and msitools) when they are installed:
#   ormid-doc-editor-<version>-x64.msi       for every user: Program Files, HKLM,
#                                            optional policy values
#   ormid-doc-editor-<version>-x64-user.msi  for the installing user: %LOCALAPPDATA%\Programs, HKCU
# Both hold the host, the client and the manifests for Chrome, Edge and
# Firefox (install/windows/ormid-doc-editor.wxs), never the stand-in server.
set(ORMID_PACKAGE_EXTENSION_IDS "nhipdoifmhiejfbjpikpbppgkchfgblj" CACHE STRING
    "Extensions (;-separated ids) the packaged manifests let start the host in Chrome and Edge")
set(ORMID_PACKAGE_FIREFOX_IDS "doc-editor-bridge@ormid.example" CACHE STRING
    "Extensions (;-separated ids) the packaged manifest lets start the host in Firefox")

find_program(ORMID_WIXL wixl)
find_program(ORMID_MSIBUILD msibuild)
find_program(ORMID_MSIINFO msiinfo)
if(NOT ORMID_WIXL OR NOT ORMID_MSIBUILD OR NOT ORMID_MSIINFO)
  message(STATUS "wixl or msitools missing: no Windows installer (scripts/packages.sh windows installs them)")
  return()
endif()

# Browsers ignore a manifest with a malformed id without a word: refuse it here.
foreach(id IN LISTS ORMID_PACKAGE_EXTENSION_IDS)
  if(NOT id MATCHES "^[a-p]+$" OR NOT id MATCHES "^................................$")
    message(FATAL_ERROR "ORMID_PACKAGE_EXTENSION_IDS: '${id}' is not an extension id (32 letters a-p)")
  endif()
endforeach()
foreach(id IN LISTS ORMID_PACKAGE_FIREFOX_IDS)
  if(NOT id MATCHES "^({[0-9a-fA-F-]+}|[A-Za-z0-9._-]*@[A-Za-z0-9._-]+)$")
    message(FATAL_ERROR "ORMID_PACKAGE_FIREFOX_IDS: '${id}' is not a Firefox extension id (name@domain or {uuid})")
  endif()
endforeach()

# The manifests name the executable by its file name: browsers resolve it
# against the manifest's folder, wherever the installation went.
set(ORMID_MSI_DIR ${CMAKE_BINARY_DIR}/msi)
function(ormid_msi_manifest file key prefix suffix)
  set(ids ${ARGN})
  list(TRANSFORM ids PREPEND "\n    \"${prefix}")
  list(TRANSFORM ids APPEND "${suffix}\"")
  list(JOIN ids "," ORMID_ALLOWED_LIST)
  set(ORMID_ALLOWED_KEY ${key})
  file(CONFIGURE OUTPUT ${ORMID_MSI_DIR}/${file} @ONLY CONTENT [[{
  "name": "ormid.doc_editor",
  "description": "Has documents from web pages edited in the desktop word processor",
  "path": "ormid-doc-editor.exe",
  "type": "stdio",
  "@ORMID_ALLOWED_KEY@": [@ORMID_ALLOWED_LIST@
  ]
}
]])
endfunction()
ormid_msi_manifest(chromium/ormid.doc_editor.json allowed_origins "chrome-extension://" "/" ${ORMID_PACKAGE_EXTENSION_IDS})
ormid_msi_manifest(firefox/ormid.doc_editor.json allowed_extensions "" "" ${ORMID_PACKAGE_FIREFOX_IDS})

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
