# Builds GoogleTest from Debian's sources for the cross build (included by
# armhf-toolchain.cmake after the project's project() call) and makes the
# project's find_package(GTest) take these targets.
set(VELMAR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VELMAR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(config_dir ${CMAKE_BINARY_DIR}/googletest-config)
  file(WRITE ${config_dir}/GTestConfig.cmake
       "# The targets GTest::gtest, GTest::gtest_main, GTest::gmock and\n"
       "# GTest::gmock_main come from the sources built in this tree.\n")
  set(GTest_DIR ${config_dir} CACHE PATH "" FORCE)
endif()
