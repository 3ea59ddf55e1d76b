# SPDX-License-Identifier: Apache-2.0
# Installs the build into PREFIX and runs the installed tool, which must find
# the installed module (and nothing of the build tree) to list the controls.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} RESULT_VARIABLE status OUTPUT_QUIET)
if(status)
  message(FATAL_ERROR "install failed: ${status}")
endif()
foreach(expected bin/veilcast lib/veilcast/plugins/ZAVVeilcast.so lib/libDDImage.so)
  if(NOT EXISTS ${PREFIX}/${expected})
    message(FATAL_ERROR "not installed: ${expected}")
  endif()
endforeach()
# Run from elsewhere so nothing is found relative to the build.
execute_process(COMMAND ${PREFIX}/bin/veilcast --list-knobs WORKING_DIRECTORY ${PREFIX}
                RESULT_VARIABLE status OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(status OR NOT listing MATCHES "ScreenColorKnob")
  message(FATAL_ERROR "the installed veilcast did not load its module: ${status} ${errors}")
endif()
file(REMOVE_RECURSE ${PREFIX})
