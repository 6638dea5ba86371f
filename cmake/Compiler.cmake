# Warning and sanitizer flags shared by every target of the project.
add_library(vx_warnings INTERFACE)
target_compile_options(vx_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
  -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC reports boost::function's small-object buffer as uninitialised once
  # it is inlined into our code: a known false positive, not ours to fix.
  target_compile_options(vx_warnings INTERFACE -Wno-uninitialized -Wno-maybe-uninitialized)
endif()
if(VX_WERROR)
  target_compile_options(vx_warnings INTERFACE -Werror)
endif()

if(VX_SANITIZE)
  add_compile_options(-fsanitize=${VX_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${VX_SANITIZE})
  if(VX_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()

if(WIN32)
  # One shared C++ runtime for the DLL and every program: an exception thrown
  # in one module and caught in another must unwind with a single unwinder
  # (the 32-bit toolchain's DWARF tables do not cross two static copies).
  # The runtime DLLs are copied beside VexloTool.dll (cmake/Runtime.cmake).
  add_link_options(-shared-libgcc)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE
    _WIN32_WINNT=0x0601)
else()
  add_compile_options(-pthread)
  add_link_options(-pthread)
endif()

if(VX_BUILD_FUZZERS)
  # Instrument the library for coverage; the fuzz targets add the driver.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -g)
  add_link_options(-fsanitize=address,undefined)
endif()
