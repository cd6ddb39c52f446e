# Windows test executables run under Wine with a private prefix in the build
# tree. scripts/wine-prefix.sh creates the prefix and keeps a server running;
# the wrapper below only sets the environment and starts the program.
#
# A 32-bit build runs on the 32-bit Wine platform of scripts/setup-wine32.sh:
# its commands come first on PATH, so "wine" starts the 64-bit loader of that
# platform, which hands every 32-bit program to the i386 loader under qemu.
set(CA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the test run")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  if(DEFINED ENV{CA_WINE32})
    set(ca_wine32_default $ENV{CA_WINE32})
  else()
    set(ca_wine32_default /opt/custaction-wine32)
  endif()
  set(CA_WINE32 ${ca_wine32_default} CACHE PATH "the 32-bit Wine platform (scripts/setup-wine32.sh)")
  set(CA_WINE_PATH ${CA_WINE32}/bin)
  set(CA_WINE_BITS 32)
else()
  set(CA_WINE_PATH "")
  set(CA_WINE_BITS 64)
endif()
configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
# What scripts/wine-prefix.sh needs to know of the build.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/wine-env.sh CONTENT [[
ca_wine_bits=@CA_WINE_BITS@
ca_wine_path="@CA_WINE_PATH@"
]] @ONLY)

# Where every Windows process starts the 32-bit way, a process costs seconds:
# each test executable is then one CTest entry that runs all its tests in one
# process, rather than one process per test.
option(CA_TEST_PER_EXECUTABLE "One CTest entry per Windows test executable" OFF)

if(CA_TEST_PER_EXECUTABLE)
  # The portable tests' executables declare their tests with GoogleTest's own
  # discovery; here they become one entry each too.
  function(gtest_discover_tests target)
    add_test(NAME ${target} COMMAND ${target} --gtest_filter=*)
    set_tests_properties(${target} PROPERTIES TIMEOUT 900)
  endfunction()
endif()

# A Windows test executable: support, GoogleTest with the resource accounting
# of every test (support/wine_test_main.cpp), the module's resources.
function(ca_add_wine_test name)
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/support/wine_test_main.cpp)
  target_link_libraries(${name} PRIVATE ca_test_support gmock ca_resources)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 120)
endfunction()

# The test code of a Windows build, GoogleTest's included, is compiled
# without debug information: nothing reads it (a fault under Wine is
# reported by the accounting and the test's own output, never in a
# debugger), and it costs a third of the time of every test source's
# compilation. The product's code keeps the build type's flags: the tests
# link the very libraries the DLL is made of. Called once every directory
# is added; takes each target made in a folder named tests or bench, or in
# GoogleTest's sources.
function(ca_test_code_without_debug_info dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(source DIRECTORY ${dir} PROPERTY SOURCE_DIR)
  if(source MATCHES "/(tests|bench)(/|$)" OR source MATCHES "googletest")
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT type STREQUAL "UTILITY")
        target_compile_options(${target} PRIVATE -g0)
      endif()
    endforeach()
  endif()
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    ca_test_code_without_debug_info(${subdirectory})
  endforeach()
endfunction()
