# SPDX-License-Identifier: Apache-2.0
# Fails unless the PE module MODULE exports nothing, as read by the target's
# objdump (OBJDUMP):
#   cmake -DOBJDUMP=... -DMODULE=ZAVVeilcast.dll -P EmptyExportTable.cmake
# The linker gives every DLL an export directory; it must list no entry. The
# module imports the image library: finding that import shows the headers were
# read, so a dump that says nothing cannot pass.
execute_process(COMMAND ${OBJDUMP} -p ${MODULE}
                OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${MODULE} failed (${status}): ${errors}")
endif()
if(NOT dump MATCHES "file format pei-x86-64" OR NOT dump MATCHES "DLL Name: DDImage\\.dll")
  message(FATAL_ERROR "${MODULE}: not a 64-bit PE module importing DDImage.dll:\n${dump}")
endif()

string(REGEX MATCH "Entry 0 ([0-9a-fA-F]+) ([0-9a-fA-F]+) Export Directory" directory "${dump}")
if(NOT directory)
  message(FATAL_ERROR "${MODULE}: no export directory entry in the header dump")
endif()
if(CMAKE_MATCH_2 MATCHES "^0+$")
  message(STATUS "${MODULE}: no export table")
  return()
endif()

string(REGEX MATCH "Number in:\n\tExport Address Table[ \t]+([0-9a-fA-F]+)\n\t\\[Name Pointer/Ordinal\\] Table[ \t]+([0-9a-fA-F]+)"
       counts "${dump}")
if(NOT counts)
  message(FATAL_ERROR "${MODULE}: cannot read the export table's counts:\n${dump}")
endif()
set(addresses ${CMAKE_MATCH_1})
set(names ${CMAKE_MATCH_2})
string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\][^\n]*" entries "${dump}")
if(NOT addresses MATCHES "^0+$" OR NOT names MATCHES "^0+$" OR entries)
  string(REPLACE ";" "" listed "${entries}")
  message(FATAL_ERROR "${MODULE} exports ${addresses} (hex) addresses, ${names} (hex) names:${listed}")
endif()
message(STATUS "${MODULE}: export table empty")
