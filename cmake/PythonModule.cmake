# Included by every directory that builds an extension; each directory gets
# the functions and VELMAR_PYTHON_OUT once.
include_guard(DIRECTORY)

# velmar_python_module(NAME <module name> DEST <subdirectory of the build's python/>
#                      SOURCES ... LIBS ...)
# Builds the extension once for every interpreter in VELMAR_PYTHONS, asking
# each interpreter for its include directory and extension suffix.
# Targets are named <NAME>_<implementation>, e.g. velmar_self_play_cpython;
# extensions_<implementation> depends on all of an implementation's modules.
set(VELMAR_PYTHON_OUT ${CMAKE_BINARY_DIR}/python)

# velmar_python_info(<interpreter> <out>): the interpreter's include folder,
# extension suffix and implementation name as a list, or "" with its error in
# <out>_ERROR when it cannot be run. The answers are kept for the rest of the
# configure run: an interpreter run under an emulator (VELMAR_PYTHON_EMULATOR)
# takes seconds to answer.
function(velmar_python_info interp out)
  string(MD5 key "${VELMAR_PYTHON_EMULATOR};${interp}")
  get_property(known GLOBAL PROPERTY velmar_python_info_${key} SET)
  if(NOT known)
    execute_process(
      COMMAND ${VELMAR_PYTHON_EMULATOR} ${interp} -c
        "import sys, sysconfig; print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX')); print(sys.implementation.name)"
      OUTPUT_VARIABLE info ERROR_VARIABLE err RESULT_VARIABLE rc
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      # A command that cannot start leaves its reason in rc, one that fails on stderr.
      set(info "")
      if(NOT rc MATCHES "^[0-9]+$")
        set(err "${rc}")
      elseif(err MATCHES "[^\n]+$")
        set(err "${CMAKE_MATCH_0}")
      else()
        set(err "exit status ${rc}")
      endif()
    endif()
    set_property(GLOBAL PROPERTY velmar_python_info_${key} "${info}")
    set_property(GLOBAL PROPERTY velmar_python_error_${key} "${err}")
  endif()
  get_property(info GLOBAL PROPERTY velmar_python_info_${key})
  get_property(err GLOBAL PROPERTY velmar_python_error_${key})
  set(${out} "${info}" PARENT_SCOPE)
  set(${out}_ERROR "${err}" PARENT_SCOPE)
endfunction()

function(velmar_query_python interp out_include out_suffix out_impl)
  velmar_python_info(${interp} info)
  if(NOT info)
    message(FATAL_ERROR "Cannot query the interpreter ${interp}: ${info_ERROR}")
  endif()
  string(REPLACE "\n" ";" info "${info}")
  list(GET info 0 inc)
  list(GET info 1 suffix)
  list(GET info 2 impl)
  set(${out_include} ${VELMAR_PYTHON_SYSROOT}${inc} PARENT_SCOPE)
  set(${out_suffix} ${suffix} PARENT_SCOPE)
  set(${out_impl} ${impl} PARENT_SCOPE)
endfunction()

# Only the interpreters of VELMAR_PYTHONS that can be run get extensions and
# tests: a machine without PyPy still builds and tests the CPython ones. The
# list is narrowed in the scope of the directory that includes this file.
set(velmar_usable_pythons "")
set(velmar_skipped_pythons "")
foreach(interp IN LISTS VELMAR_PYTHONS)
  velmar_python_info(${interp} info)
  if(info)
    list(APPEND velmar_usable_pythons ${interp})
  else()
    list(APPEND velmar_skipped_pythons ${interp})
  endif()
endforeach()
if(NOT velmar_usable_pythons)
  message(FATAL_ERROR "None of the interpreters in VELMAR_PYTHONS (${VELMAR_PYTHONS}) can be "
                      "run: name one with -DVELMAR_PYTHONS=..., or configure with "
                      "-DVELMAR_PYTHON=OFF to build without the Python extensions")
endif()
get_property(velmar_pythons_reported GLOBAL PROPERTY velmar_pythons_reported)
if(NOT velmar_pythons_reported)
  set_property(GLOBAL PROPERTY velmar_pythons_reported TRUE)
  list(JOIN velmar_usable_pythons ", " velmar_usable_pythons_text)
  foreach(interp IN LISTS velmar_skipped_pythons)
    velmar_python_info(${interp} info)
    if(interp MATCHES "pypy")
      set(what "PyPy is skipped")
    else()
      set(what "that interpreter is skipped")
    endif()
    message(WARNING "Cannot run the Python interpreter ${interp} (${info_ERROR}): ${what}. "
                    "The Python extensions and their tests are built for "
                    "${velmar_usable_pythons_text} only.")
  endforeach()
endif()
set(VELMAR_PYTHONS "${velmar_usable_pythons}")

# velmar_python_library(NAME <name> SOURCES ... INCLUDES ... LIBS ...)
# A static library of Python-facing code, built once for every interpreter
# (its objects see that interpreter's headers): targets <NAME>_<implementation>.
function(velmar_python_library)
  cmake_parse_arguments(L "" "NAME" "SOURCES;INCLUDES;LIBS" ${ARGN})
  foreach(interp IN LISTS VELMAR_PYTHONS)
    velmar_query_python(${interp} inc suffix impl)
    set(target ${L_NAME}_${impl})
    add_library(${target} STATIC ${L_SOURCES})
    target_include_directories(${target} PUBLIC ${inc} ${L_INCLUDES})
    target_link_libraries(${target} PUBLIC ${L_LIBS})
  endforeach()
endfunction()

# velmar_python_module(NAME <module name> DEST <subdirectory of the build's python/>
#                      SOURCES ... LIBS ... PYLIBS ...)
# PYLIBS name libraries made by velmar_python_library; each module links the
# one built for its own interpreter.
function(velmar_python_module)
  cmake_parse_arguments(M "" "NAME;DEST" "SOURCES;LIBS;PYLIBS" ${ARGN})
  foreach(interp IN LISTS VELMAR_PYTHONS)
    velmar_query_python(${interp} inc suffix impl)
    set(target ${M_NAME}_${impl})
    add_library(${target} MODULE ${M_SOURCES})
    target_include_directories(${target} PRIVATE ${inc})
    target_link_libraries(${target} PRIVATE ${M_LIBS})
    foreach(lib IN LISTS M_PYLIBS)
      target_link_libraries(${target} PRIVATE ${lib}_${impl})
    endforeach()
    set_target_properties(${target} PROPERTIES
      PREFIX "" OUTPUT_NAME ${M_NAME} SUFFIX ${suffix}
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
      LIBRARY_OUTPUT_DIRECTORY ${VELMAR_PYTHON_OUT}/${M_DEST})
    # Only the initialisation function leaves the module.
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/python_module.map)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
      ${PROJECT_SOURCE_DIR}/cmake/python_module.map)
    # extensions_<implementation> builds every extension for that interpreter
    # and nothing else (scripts/play.sh builds extensions_cpython).
    if(NOT TARGET extensions_${impl})
      add_custom_target(extensions_${impl})
    endif()
    add_dependencies(extensions_${impl} ${target})
  endforeach()
endfunction()

# velmar_add_pytest(NAME <test name> DIR <tests directory> [COST <seconds>]
#                   [SPLIT <test file>... [SPLIT_COST <seconds>]]
#                   [EMULATED <test file>... [EMULATED_COST <seconds>]])
# Registers one CTest test per interpreter in VELMAR_PYTHONS that runs pytest
# over DIR with the built extensions and the velmar package importable.
# SPLIT names test files of DIR that run as a second test per interpreter,
# <NAME>_part2_<implementation>, and are left out of the first: ctest -j can
# run the two halves side by side. A file added to DIR later runs in the
# first. COST and SPLIT_COST (default 100) are the rough seconds each takes:
# ctest starts the costliest tests first when it has no timings of its own
# yet (a fresh build folder), rather than after every short C++ test.
# EMULATED names the test files of DIR, or tests in them (file.py::test_name),
# that run, as one test per interpreter, when the interpreters run under an
# emulator (VELMAR_PYTHON_EMULATOR): those that go through the extensions,
# where the target's word size and floating point can show. Every test still
# runs natively; without EMULATED, an emulated run takes all of DIR as a
# native one does.
# Extra pytest arguments for every run can be given in VELMAR_PYTEST_ARGS.
# The pure-Python packages (pytest) come from VELMAR_PYTEST_SITE, by default
# Debian's folder for them; a cross build names its root folder's own.
# NumPy's BLAS runs on one thread: on a machine whose cores are busy (ctest -j,
# other jobs) a second BLAS thread made small products hundreds of times slower.
function(velmar_add_pytest)
  cmake_parse_arguments(T "" "NAME;DIR;COST;SPLIT_COST;EMULATED_COST" "SPLIT;EMULATED" ${ARGN})
  if(NOT DEFINED VELMAR_PYTEST_SITE)
    set(VELMAR_PYTEST_SITE /usr/lib/python3/dist-packages)
  endif()
  if(NOT DEFINED T_COST)
    set(T_COST 100)
  endif()
  if(NOT DEFINED T_SPLIT_COST)
    set(T_SPLIT_COST 100)
  endif()
  foreach(file IN LISTS T_SPLIT T_EMULATED)
    string(REGEX REPLACE "::.*" "" file "${file}")
    if(NOT EXISTS ${T_DIR}/${file})
      message(FATAL_ERROR "velmar_add_pytest: ${T_DIR}/${file} does not exist")
    endif()
  endforeach()
  set(first ${T_DIR})
  set(second "")
  if(VELMAR_PYTHON_EMULATOR AND T_EMULATED)
    list(TRANSFORM T_EMULATED PREPEND ${T_DIR}/ OUTPUT_VARIABLE first)
    if(DEFINED T_EMULATED_COST)
      set(T_COST ${T_EMULATED_COST})
    endif()
  else()
    foreach(file IN LISTS T_SPLIT)
      list(APPEND first --ignore=${T_DIR}/${file})
      list(APPEND second ${T_DIR}/${file})
    endforeach()
  endif()
  foreach(interp IN LISTS VELMAR_PYTHONS)
    velmar_query_python(${interp} inc suffix impl)
    set(names ${T_NAME}_${impl})
    set(costs ${T_COST})
    set(paths "${first}")
    if(second)
      list(APPEND names ${T_NAME}_part2_${impl})
      list(APPEND costs ${T_SPLIT_COST})
    endif()
    foreach(name cost IN ZIP_LISTS names costs)
      add_test(NAME ${name}
               COMMAND ${VELMAR_PYTHON_EMULATOR} ${interp} -m pytest -q -p no:cacheprovider
                       ${VELMAR_PYTEST_ARGS} ${paths}
               WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
      set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "PYTHONPATH=${VELMAR_PYTHON_OUT}:${CMAKE_SOURCE_DIR}/python:${VELMAR_PYTEST_SITE};PYTHONDONTWRITEBYTECODE=1;OPENBLAS_NUM_THREADS=1"
        COST ${cost} TIMEOUT 600)
      set(paths "${second}")
    endforeach()
  endforeach()
endfunction()
