# Finds the office suite's SDK: the UNO headers and libraries, the type
# libraries and cppumaker, which generates the C++ headers of the office's API
# types at build time. Sets ORMID_OFFICE_SDK_FOUND. Shared by the server module
# and its tests.

set(ORMID_OFFICE_PROGRAM_DIR /usr/lib/libreoffice/program
    CACHE PATH "The office installation's program directory (soffice.bin, fundamentalrc, type libraries)")
set(ORMID_OFFICE_SDK_DIR /usr/lib/libreoffice/sdk CACHE PATH "The office SDK directory")

find_program(ORMID_CPPUMAKER cppumaker HINTS ${ORMID_OFFICE_SDK_DIR}/bin NO_DEFAULT_PATH)
find_path(ORMID_UNO_INCLUDE_DIR sal/config.h HINTS ${ORMID_OFFICE_SDK_DIR}/include /usr/include/libreoffice)
find_file(ORMID_UNO_TYPES_RDB types.rdb HINTS ${ORMID_OFFICE_PROGRAM_DIR} NO_DEFAULT_PATH)
find_file(ORMID_UNO_OFFAPI_RDB offapi.rdb HINTS ${ORMID_OFFICE_PROGRAM_DIR}/types NO_DEFAULT_PATH)
foreach(lib uno_sal uno_cppu uno_cppuhelpergcc3 uno_salhelpergcc3)
  string(TOUPPER ${lib} var)
  find_library(ORMID_LIB_${var} ${lib} HINTS ${ORMID_OFFICE_SDK_DIR}/lib NO_DEFAULT_PATH)
  list(APPEND ORMID_UNO_LIBRARY_VARS ORMID_LIB_${var})
endforeach()

set(ORMID_OFFICE_SDK_FOUND TRUE)
foreach(var ORMID_CPPUMAKER ORMID_UNO_INCLUDE_DIR ORMID_UNO_TYPES_RDB ORMID_UNO_OFFAPI_RDB ${ORMID_UNO_LIBRARY_VARS})
  if(NOT ${var})
    set(ORMID_OFFICE_SDK_FOUND FALSE)
    set(ORMID_OFFICE_SDK_MISSING ${var})
  endif()
endforeach()
if(WIN32)
  set(ORMID_OFFICE_SDK_FOUND FALSE)
  set(ORMID_OFFICE_SDK_MISSING "a POSIX system")
endif()
