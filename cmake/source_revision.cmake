# What a build knows of its sources, for the files it writes:
#
#   VELMORA_SOURCE_DESCRIBE    `git describe` of the checkout ("unknown" outside
#                              one), e.g. v1.0.0-0-g1a2b3c4d5e or, untagged,
#                              1a2b3c4d5e; "-dirty" when files were changed
#   VELMORA_SOURCE_DATE_EPOCH  the commit's time in seconds since 1970 (or
#                              the SOURCE_DATE_EPOCH of the environment), the
#                              time that every timestamp of the build's
#                              output carries instead of the build's clock;
#                              empty where neither is known
#
# Both are read when CMake configures; the build configures again when HEAD
# moves (a commit, a checkout), so that they do not go stale.
set(VELMORA_SOURCE_DESCRIBE "unknown")
set(VELMORA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")

find_package(Git QUIET)
if(GIT_FOUND)
  # Only a checkout of this project counts, not one that happens to hold it.
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE velmora_git_top OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE velmora_git_failed ERROR_QUIET)
  if(NOT velmora_git_failed)
    file(REAL_PATH "${velmora_git_top}" velmora_git_top)
    file(REAL_PATH "${PROJECT_SOURCE_DIR}" velmora_source_dir)
  endif()
  if(NOT velmora_git_failed AND velmora_git_top STREQUAL velmora_source_dir)
    # A fixed abbreviation: the same commit gives the same text in every clone.
    execute_process(
      COMMAND ${GIT_EXECUTABLE} describe --tags --long --always --dirty --abbrev=10
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE VELMORA_SOURCE_DESCRIBE OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(VELMORA_SOURCE_DATE_EPOCH STREQUAL "")
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE VELMORA_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    # HEAD, and the branch it names: they change with every commit.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE velmora_git_head OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${GIT_EXECUTABLE} symbolic-ref -q HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE velmora_git_branch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    set(velmora_git_watch ${velmora_git_head})
    if(velmora_git_branch)
      execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --git-path ${velmora_git_branch}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE velmora_git_ref OUTPUT_STRIP_TRAILING_WHITESPACE)
      list(APPEND velmora_git_watch ${velmora_git_ref})
    endif()
    foreach(velmora_watched IN LISTS velmora_git_watch)
      file(REAL_PATH "${velmora_watched}" velmora_watched BASE_DIRECTORY ${PROJECT_SOURCE_DIR})
      # A missing file (a packed ref) would make every build configure again.
      if(EXISTS "${velmora_watched}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${velmora_watched}")
      endif()
    endforeach()
  endif()
endif()
if(NOT VELMORA_SOURCE_DATE_EPOCH MATCHES "^[0-9]*$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${VELMORA_SOURCE_DATE_EPOCH}', not a number of seconds")
endif()
message(STATUS "Sources: ${VELMORA_SOURCE_DESCRIBE}, commit time ${VELMORA_SOURCE_DATE_EPOCH}")
