# Applies TORVEK_SANITIZE to every target of this directory tree.
if(TORVEK_SANITIZE STREQUAL "")
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  message(FATAL_ERROR "TORVEK_SANITIZE needs GCC or Clang")
endif()

if(TORVEK_SANITIZE STREQUAL "address")
  # UndefinedBehaviorSanitizer rides along; its findings abort the test like ASan's do,
  # instead of scrolling past as a warning in a passing run.
  set(torvek_sanitizer_flags
      -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(TORVEK_SANITIZE STREQUAL "thread")
  set(torvek_sanitizer_flags -fsanitize=thread)
else()
  message(FATAL_ERROR "TORVEK_SANITIZE is '${TORVEK_SANITIZE}'; use address or thread")
endif()

add_compile_options(${torvek_sanitizer_flags})
add_link_options(${torvek_sanitizer_flags})
