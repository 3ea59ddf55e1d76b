# SPDX-License-Identifier: Apache-2.0
# Copies the compiler's runtime DLLs beside the programs, so that the programs,
# the image library and the operator module share one C++ runtime instead of
# each carrying a copy of its own, and Wine or Windows finds it.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The compiler's runtime ${dll} was not found")
  endif()
  file(COPY ${path} DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endforeach()
