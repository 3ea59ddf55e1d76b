# SPDX-License-Identifier: Apache-2.0
# Installs the build into PREFIX and runs the installed tool, which must find
# the installed module (and nothing of the build tree) to list the controls;
# with PYTHON given, the installed Python package must import and key too.
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
if(PYTHON)
  # The installed package, imported from its site-packages by a Python
  # started elsewhere, keys through the installed module.
  file(GLOB package LIST_DIRECTORIES true ${PREFIX}/lib/python3*/dist-packages/veilcast)
  if(NOT package)
    message(FATAL_ERROR "not installed: the Python package veilcast")
  endif()
  get_filename_component(site ${package} DIRECTORY)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${site} ${PYTHON} -c
                          "import numpy, veilcast; print(veilcast.__file__); print(veilcast.key(numpy.full((2, 2, 3), 0.5, numpy.float32), {'Screen Color': (0.1, 0.6, 0.1)}).shape)"
                  WORKING_DIRECTORY ${PREFIX} RESULT_VARIABLE status OUTPUT_VARIABLE imported ERROR_VARIABLE errors)
  string(STRIP "${imported}" imported)
  if(status OR NOT imported STREQUAL "${site}/veilcast/__init__.py\n(2, 2, 4)")
    message(FATAL_ERROR "the installed Python package did not key: ${status} ${imported} ${errors}")
  endif()
endif()
file(REMOVE_RECURSE ${PREFIX})
