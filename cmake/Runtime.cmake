# The compiler's runtime DLLs that VexloTool.dll and every host program
# import, copied into bin/ beside the DLL: the product ships them together,
# and Wine finds them there when it runs a test program.
if(NOT WIN32)
  return()
endif()

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(VX_UNWINDER_DLL libgcc_s_dw2-1.dll)
else()
  set(VX_UNWINDER_DLL libgcc_s_seh-1.dll)
endif()
set(VX_RUNTIME_DLLS ${VX_UNWINDER_DLL} libstdc++-6.dll libwinpthread-1.dll)

foreach(dll ${VX_RUNTIME_DLLS})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${dll_path}" OR NOT EXISTS "${dll_path}")
    message(FATAL_ERROR "Runtime DLL ${dll} not found by ${CMAKE_CXX_COMPILER}")
  endif()
  file(COPY ${dll_path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endforeach()
