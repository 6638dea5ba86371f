# The library: VexloTool.dll on Windows, libVexloTool.so on Linux.
# Sources are picked up per folder, so a new file needs no edit here.
set(VX_LIBRARY_DIRS core util log http net monitor)
set(VX_LIBRARY_SOURCES)
foreach(dir ${VX_LIBRARY_DIRS})
  file(GLOB dir_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND VX_LIBRARY_SOURCES ${dir_sources})
endforeach()

# The Win32 subset the library calls: the real SDK on Windows, our own
# layer on Linux. Host programs include it too, so it is public.
add_library(vx_platform_headers INTERFACE)
target_include_directories(vx_platform_headers INTERFACE ${CMAKE_SOURCE_DIR}/platform/include)

if(WIN32)
  # Helpers for things without a Win32 name (see vxplatform/extras.h).
  file(GLOB VX_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp)
  set(VX_PLATFORM_LIBS kernel32 user32 ole32 ws2_32 wininet iphlpapi mswsock shlwapi)
else()
  file(GLOB VX_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/posix/*.cpp)
  set(VX_PLATFORM_LIBS Threads::Threads)
  find_package(CURL QUIET)
  if(CURL_FOUND)
    # Private to the shared library: hosts never see libcurl.
    list(APPEND VX_PLATFORM_LIBS $<BUILD_INTERFACE:CURL::libcurl>)
  endif()
endif()

add_library(VexloTool SHARED ${VX_LIBRARY_SOURCES} ${VX_PLATFORM_SOURCES})
target_include_directories(VexloTool
  PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(VexloTool PRIVATE VEXLOTOOL_BUILD)
# The installed package states its own interface (cmake/Install.cmake).
target_link_libraries(VexloTool
  PUBLIC $<BUILD_INTERFACE:vx_platform_headers> $<BUILD_INTERFACE:vx_boost> ${VX_PLATFORM_LIBS}
  PRIVATE vx_warnings)
set_target_properties(VexloTool PROPERTIES PREFIX "" OUTPUT_NAME VexloTool)
if(NOT WIN32)
  set_target_properties(VexloTool PROPERTIES PREFIX "lib")
endif()

# Host programs and the conformance tests reach the platform layer through
# the library: on Linux it carries the layer, on Windows the few helpers of
# platform/win32 next to the system DLLs.
add_library(vx_platform INTERFACE)
target_link_libraries(vx_platform INTERFACE vx_platform_headers VexloTool)
