# Windows test executables run under Wine with a private prefix in the build
# tree. scripts/wine-prefix.sh creates the prefix and keeps a server running;
# the wrapper below only sets the environment and starts the program.
set(CA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test run")
configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# A Windows test executable: support, GoogleTest with the resource accounting
# of every test (support/wine_test_main.cpp), the module's resources.
function(ca_add_wine_test name)
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/support/wine_test_main.cpp)
  target_link_libraries(${name} PRIVATE ca_test_support gmock ca_resources)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120)
endfunction()
