# How tests are built and run: GoogleTest from Debian's sources (compiled
# with the project's own compiler, so the Windows builds get a Windows
# GoogleTest), and, for Windows builds made here, Wine as the emulator with a
# private prefix under the build folder.

set(USQZ_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian: package googletest)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${USQZ_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

set(USQZ_RUNS_UNDER_WINE OFF)
set(USQZ_CAN_RUN_TESTS ON)
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(USQZ_RUNS_UNDER_WINE ON)
  set(USQZ_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tools/wine-run;${USQZ_WINEPREFIX})
  # Some kernels are built without 32-bit support, and there Wine cannot run
  # 32-bit programs at all; those tests are then reported as skipped.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/wine-run --can-run-32-bit
                    RESULT_VARIABLE can_run_32 OUTPUT_QUIET ERROR_QUIET)
    if(NOT can_run_32 EQUAL 0)
      set(USQZ_CAN_RUN_TESTS OFF)
      message(WARNING "Wine cannot run 32-bit programs on this machine; the 32-bit tests will be skipped.")
    endif()
  endif()
endif()

include(GoogleTest)

# Each test's time limit. The longest waits for a stop that makes no progress
# (30 s) before it gives up; the rest is Wine starting programs.
set(USQZ_TEST_TIMEOUT 180)

# usqz_add_gtest(TARGET program [EXTRA_ARGS ...]): every test of a GoogleTest
# program as a test of its own, listed when ctest runs (under Wine where the
# build is for Windows: the emulator lists them), each with a time limit and,
# under Wine, inside the one Wine session that the fixture keeps alive.
function(usqz_add_gtest)
  cmake_parse_arguments(ARG "" "TARGET" "EXTRA_ARGS" ${ARGN})
  if(NOT USQZ_CAN_RUN_TESTS)
    return()
  endif()
  set(properties TIMEOUT ${USQZ_TEST_TIMEOUT})
  if(USQZ_RUNS_UNDER_WINE)
    list(APPEND properties FIXTURES_REQUIRED wine_session)
  endif()
  gtest_discover_tests(${ARG_TARGET}
    TEST_PREFIX "${ARG_TARGET}."
    EXTRA_ARGS ${ARG_EXTRA_ARGS}
    DISCOVERY_MODE PRE_TEST
    NO_PRETTY_TYPES
    NO_PRETTY_VALUES
    # Listing under Wine may first have to set up the prefix.
    DISCOVERY_TIMEOUT 600
    PROPERTIES ${properties})
endfunction()
