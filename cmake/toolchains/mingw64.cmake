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

# Asio and CLI11 are header-only and the same for every target, but the build machine's
# /usr/include must not reach the cross compiler (its glibc headers would shadow mingw's). The
# compiler gets folders in the build tree that hold nothing but links to those headers.
function(torvek_header_links variable probe folder)
  if(${variable})
    return()
  endif()
  find_path(_torvek_host_dir ${probe} PATHS /usr/include /usr/local/include
    NO_CMAKE_FIND_ROOT_PATH NO_CACHE)
  if(NOT _torvek_host_dir)
    return()
  endif()
  string(REGEX REPLACE "/+$" "" _torvek_host_dir "${_torvek_host_dir}")
  set(links ${CMAKE_BINARY_DIR}/${folder})
  file(MAKE_DIRECTORY ${links})
  foreach(entry IN LISTS ARGN)
    if(NOT EXISTS ${links}/${entry})
      file(CREATE_LINK ${_torvek_host_dir}/${entry} ${links}/${entry} SYMBOLIC)
    endif()
  endforeach()
  set(${variable} ${links} CACHE PATH "Header-only library, linked for the cross compiler" FORCE)
endfunction()

get_property(_torvek_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _torvek_in_try_compile)
  torvek_header_links(ASIO_INCLUDE_DIR asio.hpp asio-include asio.hpp asio)
  torvek_header_links(CLI11_INCLUDE_DIR CLI/CLI.hpp cli11-include CLI)
endif()
