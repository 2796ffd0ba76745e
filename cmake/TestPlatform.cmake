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

# usqz_add_test(NAME name COMMAND ...): a test, run under Wine where the
# build is for Windows, inside one Wine session that the fixture keeps alive.
function(usqz_add_test)
  cmake_parse_arguments(ARG "" "NAME" "COMMAND" ${ARGN})
  if(NOT USQZ_CAN_RUN_TESTS)
    return()
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_COMMAND})
  if(USQZ_RUNS_UNDER_WINE)
    set_tests_properties(${ARG_NAME} PROPERTIES FIXTURES_REQUIRED wine_session
      ENVIRONMENT "WINEPREFIX=${USQZ_WINEPREFIX};WINEDEBUG=-all")
  endif()
endfunction()
