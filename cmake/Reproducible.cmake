# Builds anyone can repeat to the same bytes: the executables' PE time stamp
# is the commit's time (SOURCE_DATE_EPOCH when it is set), and no path of
# the source or build folder reaches a binary. Two builds of one commit, in
# two folders at two times, give the same executables (./scripts/release
# --check compares them).

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(USQZ_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(USQZ_SOURCE_DATE_EPOCH 0)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE usqz_commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE usqz_git_failed ERROR_QUIET)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --absolute-git-dir
                    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                    OUTPUT_VARIABLE usqz_git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(usqz_git_failed EQUAL 0 AND usqz_commit_time MATCHES "^[0-9]+$")
      set(USQZ_SOURCE_DATE_EPOCH "${usqz_commit_time}")
      # Another commit checked out or made: configured again, with its time.
      foreach(moved HEAD logs/HEAD)
        if(EXISTS "${usqz_git_dir}/${moved}")
          set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${usqz_git_dir}/${moved}")
        endif()
      endforeach()
    endif()
  endif()
  if(USQZ_SOURCE_DATE_EPOCH EQUAL 0)
    message(STATUS "UpdateServiceQZ: no commit and no SOURCE_DATE_EPOCH: the executables' time stamp is 0")
  endif()
endif()
if(NOT USQZ_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds: ${USQZ_SOURCE_DATE_EPOCH}")
endif()

if(WIN32 AND NOT MSVC)
  # Debian's MinGW-w64 linker stamps the PE header with SOURCE_DATE_EPOCH,
  # when it finds it, instead of the time of the link.
  set(USQZ_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${USQZ_SOURCE_DATE_EPOCH}")
  add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
                      "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
endif()
