# The build step of tallier_build_counter(), run on every build of the target as
#   cmake -DCOUNTER=<counter> -DCOPY=<copy> -P TallierAdvance.cmake -- [<tallier command>...]
# Advances the counter with the command (none: the counter is compiled as it stands), then
# copies it for the build's sources. An advance and its copy happen under a lock on
# <counter's stem>.lock beside it: another build tree of the same sources, built at the same
# time, could otherwise advance the counter between the two, and this build would compile
# the other's number. A copy alone takes no lock, which a counter's directory that the build
# may not write would refuse: the tool replaces the counter by a rename, so a copy always
# reads a whole counter.
#
# While cpack runs, TALLIER_HOLD_COUNTERS is set (see tallier_build_counter()) and the
# counter is not advanced, and copied only where this tree has no copy yet: with a Makefile
# generator cpack builds the project once more, out of sight, before it installs, and the
# package must hold the number this tree's last build printed, not one another tree's build
# has advanced the counter to since.
set(command "")
set(seen_separator FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
  if(seen_separator)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(seen_separator TRUE)
  endif()
endforeach()

set(held FALSE)
if(NOT "$ENV{TALLIER_HOLD_COUNTERS}" STREQUAL "")
  set(held TRUE)
endif()
if(command AND NOT held)
  cmake_path(GET COUNTER PARENT_PATH counter_dir)
  cmake_path(GET COUNTER STEM LAST_ONLY stem)
  set(lock "${counter_dir}/${stem}.lock")
  # A build waits for the other's run of the tool, which gives up on a lock of its own after
  # some seconds: a minute is far more than that takes, and less than forever.
  file(LOCK "${lock}" GUARD PROCESS TIMEOUT 60 RESULT_VARIABLE locked)
  if(NOT locked EQUAL 0)
    message(FATAL_ERROR "tallier_build_counter: could not lock ${lock} within 60 s: ${locked}")
  endif()
  # The tool's output goes to the build's, as it would from a command of the build's own.
  execute_process(COMMAND ${command} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    if(status MATCHES "^[0-9]+$" AND CMAKE_VERSION VERSION_GREATER_EQUAL 3.29)
      cmake_language(EXIT ${status})
    endif()
    message(FATAL_ERROR "tallier_build_counter: tallier failed (${status})")
  endif()
endif()
# Only a changed copy is written, so that a build that compiles the counter as it stands
# does not compile the sources that include it again.
if(NOT held OR NOT EXISTS "${COPY}")
  configure_file("${COUNTER}" "${COPY}" COPYONLY)
endif()
