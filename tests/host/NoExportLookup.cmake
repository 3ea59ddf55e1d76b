# SPDX-License-Identifier: Apache-2.0
# Fails unless the Windows program PROGRAM, which holds the host, loads modules
# with LoadLibraryW and imports nothing that looks a symbol up by name in a
# loaded module, as read by the target's objdump (OBJDUMP):
#   cmake -DOBJDUMP=... -DPROGRAM=host_tests.exe -P NoExportLookup.cmake
# The host learns of operators only through their registration records.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM}
                OUTPUT_VARIABLE dump ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed (${status}): ${errors}")
endif()
if(NOT dump MATCHES "\n\t[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+LoadLibraryW\n")
  message(FATAL_ERROR "${PROGRAM} does not import LoadLibraryW:\n${dump}")
endif()
string(REGEX MATCHALL "\n\t[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+(GetProcAddress[A-Za-z]*|LdrGetProcedureAddress[A-Za-z]*)" lookups "${dump}")
if(lookups)
  string(REPLACE ";" "" listed "${lookups}")
  message(FATAL_ERROR "${PROGRAM} imports a look-up by name:${listed}")
endif()
message(STATUS "${PROGRAM}: loads modules, looks nothing up in them")
