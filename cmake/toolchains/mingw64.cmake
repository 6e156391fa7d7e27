# Cross-builds the 64-bit Windows DLL on Linux with Debian's mingw-w64 (posix thread model,
# which std::thread, std::mutex and std::async need).
#
#   cmake --preset mingw64 && cmake --build --preset mingw64
#
# Everything is linked statically (-static): the DLL and the programs then import only
# KERNEL32, msvcrt and WS2_32, and nothing of the compiler's runtime has to be shipped.
# -static-libgcc -static-libstdc++ alone would still import libwinpthread-1.dll.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TORVEK_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${TORVEK_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${TORVEK_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${TORVEK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TORVEK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Asio is header-only and the same for every target, but the build machine's /usr/include
# must not reach the cross compiler (its glibc headers would shadow mingw's). The compiler
# gets a folder that holds nothing but links to asio.hpp and asio/.
get_property(_torvek_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _torvek_in_try_compile AND NOT ASIO_INCLUDE_DIR)
  find_path(TORVEK_HOST_ASIO_DIR asio.hpp
    PATHS /usr/include /usr/local/include
    NO_CMAKE_FIND_ROOT_PATH
    DOC "Folder with the build machine's standalone Asio (asio.hpp and asio/)")
  if(NOT TORVEK_HOST_ASIO_DIR)
    message(FATAL_ERROR "Standalone Asio not found: install libasio-dev or set TORVEK_HOST_ASIO_DIR")
  endif()
  set(_torvek_asio_links ${CMAKE_BINARY_DIR}/asio-include)
  file(MAKE_DIRECTORY ${_torvek_asio_links})
  foreach(_entry asio.hpp asio)
    if(NOT EXISTS ${_torvek_asio_links}/${_entry})
      file(CREATE_LINK ${TORVEK_HOST_ASIO_DIR}/${_entry} ${_torvek_asio_links}/${_entry} SYMBOLIC)
    endif()
  endforeach()
  set(ASIO_INCLUDE_DIR ${_torvek_asio_links} CACHE PATH "Asio headers for the cross compiler" FORCE)
endif()
