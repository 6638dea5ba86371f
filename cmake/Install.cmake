# What `cmake --install` lays down for a host, and the packages CPack makes
# of it: the public headers with the platform headers they include, the
# library (on Windows the DLL, its import library and the runtime DLLs a
# host ships beside it), a CMake package (find_package(VexloTool CONFIG))
# and, on Linux, a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VX_VERSION 1.0.0)
set(VX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VexloTool)

# Installed consumers link the library and see include/ for both header trees.
target_include_directories(VexloTool INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_definitions(VexloTool INTERFACE $<INSTALL_INTERFACE:BOOST_ALL_NO_LIB>)
# The public headers use Boost (headers only); the package config finds it.
target_link_libraries(VexloTool INTERFACE $<INSTALL_INTERFACE:Boost::boost>)
if(WIN32)
  # A host shares the DLL's unwinder, so an exception that crosses the DLL
  # boundary unwinds with one copy of it (see Compiler.cmake).
  target_link_options(VexloTool INTERFACE $<INSTALL_INTERFACE:-shared-libgcc>)
endif()

install(TARGETS VexloTool EXPORT VexloToolTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/VexloTool
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# vxplatform.h is what the public headers include: on Windows it pulls in
# the SDK and declares the few helpers of extras.h; on Linux it declares
# the Win32 names of our layer, so the whole vxplatform/ folder goes too.
install(FILES ${CMAKE_SOURCE_DIR}/platform/include/vxplatform.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/include/vxplatform
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  # The compiler's runtime, which the DLL and the host share (Runtime.cmake).
  foreach(dll ${VX_RUNTIME_DLLS})
    install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${dll} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endforeach()
endif()

install(EXPORT VexloToolTargets NAMESPACE VexloTool:: DESTINATION ${VX_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/package/VexloToolConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/VexloToolConfig.cmake
  INSTALL_DESTINATION ${VX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/VexloToolConfigVersion.cmake
  VERSION ${VX_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/VexloToolConfig.cmake
  ${CMAKE_BINARY_DIR}/package/VexloToolConfigVersion.cmake
  DESTINATION ${VX_CMAKE_DIR})

if(NOT WIN32)
  # Relocatable: the prefix is found from the file's own place.
  file(RELATIVE_PATH VX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" VX_PC_TO_PREFIX "${VX_PC_TO_PREFIX}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/package/vexlotool.pc.in
    ${CMAKE_BINARY_DIR}/package/vexlotool.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/vexlotool.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# Packages: a Debian package on Linux, a zip of the install tree on Windows.
set(CPACK_PACKAGE_NAME vexlotool)
set(CPACK_PACKAGE_VENDOR "VexloTool developers")
set(CPACK_PACKAGE_VERSION ${VX_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Infrastructure library for desktop media applications")
set(CPACK_PACKAGE_CONTACT "VexloTool developers <vexlotool@localhost>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  # The library's own runtime needs; a host compiling against the headers
  # also needs Boost's (header-only) and the C++ compiler.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libcurl4 (>= 7.88)")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libboost-dev (>= 1.74)")
endif()
include(CPack)
