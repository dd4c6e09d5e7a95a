# GoogleTest from the sources Debian ships, built the same way for both platforms.
set(EOL_GTEST_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest source folder")
if(NOT EXISTS ${EOL_GTEST_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${EOL_GTEST_DIR}: apt-get install googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${EOL_GTEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
