# Included by every directory that builds an extension; each directory gets
# the functions and VELMAR_PYTHON_OUT once.
include_guard(DIRECTORY)

# velmar_python_module(NAME <module name> DEST <subdirectory of the build's python/>
#                      SOURCES ... LIBS ...)
# Builds the extension once for every interpreter in VELMAR_PYTHONS, asking
# each interpreter for its include directory and extension suffix.
# Targets are named <NAME>_<implementation>, e.g. velmar_self_play_cpython.
set(VELMAR_PYTHON_OUT ${CMAKE_BINARY_DIR}/python)

# The answers are kept for the rest of the configure run: an interpreter run
# under an emulator (VELMAR_PYTHON_EMULATOR) takes seconds to answer.
function(velmar_query_python interp out_include out_suffix out_impl)
  string(MD5 key "${VELMAR_PYTHON_EMULATOR};${interp}")
  get_property(info GLOBAL PROPERTY velmar_python_info_${key})
  if(NOT info)
    execute_process(
      COMMAND ${VELMAR_PYTHON_EMULATOR} ${interp} -c
        "import sys, sysconfig; print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('EXT_SUFFIX')); print(sys.implementation.name)"
      OUTPUT_VARIABLE info RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "Cannot query the interpreter ${interp}")
    endif()
    set_property(GLOBAL PROPERTY velmar_python_info_${key} "${info}")
  endif()
  string(REPLACE "\n" ";" info "${info}")
  list(GET info 0 inc)
  list(GET info 1 suffix)
  list(GET info 2 impl)
  set(${out_include} ${VELMAR_PYTHON_SYSROOT}${inc} PARENT_SCOPE)
  set(${out_suffix} ${suffix} PARENT_SCOPE)
  set(${out_impl} ${impl} PARENT_SCOPE)
endfunction()

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
  endforeach()
endfunction()

# velmar_add_pytest(NAME <test name> DIR <tests directory>)
# Registers one CTest test per interpreter in VELMAR_PYTHONS that runs pytest
# over DIR with the built extensions and the velmar package importable.
# Extra pytest arguments for every run can be given in VELMAR_PYTEST_ARGS.
# The pure-Python packages (pytest) come from VELMAR_PYTEST_SITE, by default
# Debian's folder for them; a cross build names its root folder's own.
function(velmar_add_pytest)
  cmake_parse_arguments(T "" "NAME;DIR" "" ${ARGN})
  if(NOT DEFINED VELMAR_PYTEST_SITE)
    set(VELMAR_PYTEST_SITE /usr/lib/python3/dist-packages)
  endif()
  foreach(interp IN LISTS VELMAR_PYTHONS)
    velmar_query_python(${interp} inc suffix impl)
    add_test(NAME ${T_NAME}_${impl}
             COMMAND ${VELMAR_PYTHON_EMULATOR} ${interp} -m pytest -q -p no:cacheprovider
                     ${VELMAR_PYTEST_ARGS} ${T_DIR}
             WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})
    set_tests_properties(${T_NAME}_${impl} PROPERTIES
      ENVIRONMENT "PYTHONPATH=${VELMAR_PYTHON_OUT}:${CMAKE_SOURCE_DIR}/python:${VELMAR_PYTEST_SITE};PYTHONDONTWRITEBYTECODE=1"
      TIMEOUT 600)
  endforeach()
endfunction()
