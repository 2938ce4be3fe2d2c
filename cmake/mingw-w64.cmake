# Cross-compiles the Windows build on Linux with mingw-w64 (x86_64, POSIX
# threading model) and runs its test programs under Wine.
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Executables are linked statically so that they run in a bare Wine prefix
# without the compiler's runtime DLLs.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORMID_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORMID_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORMID_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORMID_MINGW_TRIPLET}-windres)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Header-only libraries come from the build machine's packages, but the cross
# compiler must never see the build machine's /usr/include as a whole: only
# these headers are exposed, through a directory of links in the build tree.
# The toolchain file is read again for every compiler check; those runs happen
# in scratch directories and need none of this.
if(NOT CMAKE_IN_TRY_COMPILE)
  set(ORMID_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party_include)
  file(MAKE_DIRECTORY ${ORMID_THIRD_PARTY_INCLUDE})
  foreach(entry utf8.h utf8 spdlog fmt)
    if(NOT EXISTS /usr/include/${entry})
      message(FATAL_ERROR "/usr/include/${entry} is missing: install libutfcpp-dev, libspdlog-dev and libfmt-dev")
    endif()
    if(NOT EXISTS ${ORMID_THIRD_PARTY_INCLUDE}/${entry})
      file(CREATE_LINK /usr/include/${entry} ${ORMID_THIRD_PARTY_INCLUDE}/${entry} SYMBOLIC)
    endif()
  endforeach()
endif()

# Libraries and headers are looked up in the cross environment only; the
# third-party directory counts as part of it so that find_path can see it.
set(CMAKE_FIND_ROOT_PATH /usr/${ORMID_MINGW_TRIPLET} ${ORMID_THIRD_PARTY_INCLUDE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs each test program through Wine. The wrapper supplies what a bare
# `wine64 test.exe` lacks: a prepared prefix (with the null graphics driver,
# without which no window can be created), quiet debug channels and no
# downloads of optional runtimes.
get_filename_component(ORMID_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
if(NOT CMAKE_IN_TRY_COMPILE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORMID_SOURCE_ROOT}/scripts/wine/wine-exec.sh --prefix-root ${CMAKE_BINARY_DIR}/wine)
endif()
