# Third-party packages: Boost headers on both targets, GoogleTest built from
# source for Windows, system packages on Linux.
if(WIN32)
  # Only boost/ may be visible to the cross compiler, never the rest of
  # /usr/include, so the headers are reached through a folder of their own.
  set(VX_BOOST_DIR ${CMAKE_BINARY_DIR}/boost-include)
  if(NOT EXISTS ${VX_BOOST_DIR}/boost)
    file(MAKE_DIRECTORY ${VX_BOOST_DIR})
    file(CREATE_LINK /usr/include/boost ${VX_BOOST_DIR}/boost SYMBOLIC)
  endif()
  add_library(vx_boost INTERFACE)
  target_include_directories(vx_boost SYSTEM INTERFACE ${VX_BOOST_DIR})
else()
  find_package(Boost 1.74 REQUIRED)
  add_library(vx_boost INTERFACE)
  target_link_libraries(vx_boost INTERFACE Boost::boost)
  find_package(Threads REQUIRED)
endif()
target_compile_definitions(vx_boost INTERFACE BOOST_ALL_NO_LIB)

if(VX_BUILD_TESTS)
  if(WIN32)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    # Defines the GTest:: targets itself.
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()

if(WIN32 OR NOT VX_BUILD_BENCH)
  set(VX_BUILD_BENCH OFF)
endif()
