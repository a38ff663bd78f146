# GoogleTest on both platforms. Linux uses Debian's build; the Windows build compiles the sources
# Debian ships in /usr/src/googletest with the cross compiler. Windows test programs run under
# Wine through ctest's cross-compiling emulator, inside a prefix created by a fixture.
if(WIN32)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  set(PELTO_GTEST_LIBS GTest::gtest GTest::gmock)
  if(NOT TARGET GTest::gtest)
    set(PELTO_GTEST_LIBS gtest gmock)
  endif()
  set(wine_run "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh")
  add_test(NAME wine_setup COMMAND "${wine_run}" --setup "${CMAKE_BINARY_DIR}")
  set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
  add_test(NAME wine_teardown COMMAND "${wine_run}" --teardown "${CMAKE_BINARY_DIR}")
  set_tests_properties(wine_teardown PROPERTIES FIXTURES_CLEANUP wine_prefix)
else()
  find_package(GTest REQUIRED)
  set(PELTO_GTEST_LIBS GTest::gtest GTest::gmock)
  include(GoogleTest)
endif()

# A gtest program of one module. On Linux each test case is its own ctest test; under Wine one
# ctest test runs the whole program (starting Wine per case would cost more than the cases).
function(pelto_add_test_executable name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE ${PELTO_GTEST_LIBS} pelto_test_main)
  if(WIN32)
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix
      ENVIRONMENT "PELTO_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
      PROPERTIES ENVIRONMENT "PELTO_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  endif()
endfunction()

add_library(pelto_test_main STATIC "${PROJECT_SOURCE_DIR}/tests/support/test_main.cpp")
target_link_libraries(pelto_test_main PUBLIC ${PELTO_GTEST_LIBS})
target_include_directories(pelto_test_main PUBLIC "${PROJECT_SOURCE_DIR}")

# Scans a built program for texts that must not appear in it plainly (UTF-8 or UTF-16LE); every
# occurrence is reported. With MUST_FIND the test instead passes only when every text is found
# (a control that shows the scanner sees plain literals).
#   pelto_scan_for_literals(NAME test_name TARGET target [MUST_FIND] TEXTS text...)
function(pelto_scan_for_literals)
  cmake_parse_arguments(S "MUST_FIND" "NAME;TARGET" "TEXTS" ${ARGN})
  set(mode)
  if(S_MUST_FIND)
    set(mode --must-find)
  endif()
  add_test(NAME ${S_NAME}
    COMMAND /usr/bin/python3 "${PROJECT_SOURCE_DIR}/tests/obfuscation/scan_binary.py" ${mode}
            "$<TARGET_FILE:${S_TARGET}>" ${S_TEXTS})
endfunction()
