# The native-messaging manifests both packages install, as install/ormid-install
# writes them, and the extensions they allow (set at configure time).
set(ORMID_PACKAGE_EXTENSION_IDS "nhipdoifmhiejfbjpikpbppgkchfgblj" CACHE STRING
    "Extensions (;-separated ids) the packaged manifests let start the host in Chrome, Chromium and Edge")
set(ORMID_PACKAGE_FIREFOX_IDS "doc-editor-bridge@ormid.example" CACHE STRING
    "Extensions (;-separated ids) the packaged manifest lets start the host in Firefox")

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

set(ORMID_HOST_NAME ormid.doc_editor)
set(ORMID_HOST_DESCRIPTION "Has documents from web pages edited in the desktop word processor")

# Writes <dir>/chromium/ormid.doc_editor.json and <dir>/firefox/ormid.doc_editor.json
# naming the host <path>.
function(ormid_manifests dir path)
  set(ORMID_HOST_PATH ${path})
  foreach(browser chromium firefox)
    if(browser STREQUAL chromium)
      set(ORMID_ALLOWED_KEY allowed_origins)
      set(ids ${ORMID_PACKAGE_EXTENSION_IDS})
      list(TRANSFORM ids PREPEND "\n    \"chrome-extension://")
      list(TRANSFORM ids APPEND "/\"")
    else()
      set(ORMID_ALLOWED_KEY allowed_extensions)
      set(ids ${ORMID_PACKAGE_FIREFOX_IDS})
      list(TRANSFORM ids PREPEND "\n    \"")
      list(TRANSFORM ids APPEND "\"")
    endif()
    list(JOIN ids "," ORMID_ALLOWED_LIST)
    file(CONFIGURE OUTPUT ${dir}/${browser}/${ORMID_HOST_NAME}.json @ONLY CONTENT [[{
  "name": "@ORMID_HOST_NAME@",
  "description": "@ORMID_HOST_DESCRIPTION@",
  "path": "@ORMID_HOST_PATH@",
  "type": "stdio",
  "@ORMID_ALLOWED_KEY@": [@ORMID_ALLOWED_LIST@
  ]
}
]])
  endforeach()
endfunction()
