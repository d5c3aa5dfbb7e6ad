# tallier_build_counter(<target> [HEADER <path>] [MACRO <name>] [INCREMENT <n>])
#
# Advances the counter in HEADER (default: Version.h in the calling directory) once per
# build of <target>, before any of <target>'s sources compile. Needs the executable target
# Tallier::tallier, which find_package(Tallier) imports and add_subdirectory() defines.
#
# The work is a custom target, <target>_build_counter, that <target> depends on. A
# PRE_BUILD step would run first only with the Visual Studio generators; a custom target
# with no outputs runs on every build with all of them, and its failure (the tool's
# message, exit status 1 or 2) stops the build before <target> compiles.
function(tallier_build_counter target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "HEADER;MACRO;INCREMENT" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tallier_build_counter: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(keyword IN LISTS arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "tallier_build_counter: ${keyword} needs a value")
  endforeach()
  if(NOT TARGET "${target}")
    message(FATAL_ERROR "tallier_build_counter: no target named ${target}")
  endif()
  if(NOT TARGET Tallier::tallier)
    message(FATAL_ERROR
      "tallier_build_counter: Tallier::tallier is not defined; use find_package(Tallier) "
      "or add_subdirectory() on Tallier's sources first")
  endif()

  if(NOT DEFINED arg_HEADER)
    set(arg_HEADER "${CMAKE_CURRENT_SOURCE_DIR}/Version.h")
  endif()
  if(NOT DEFINED arg_MACRO)
    set(arg_MACRO BuildCount)
  endif()
  if(NOT DEFINED arg_INCREMENT)
    set(arg_INCREMENT 1)
  endif()
  # The tool would read "7x" as 7 and "x" as 1; in a build script that is a typo to report.
  if(NOT arg_INCREMENT MATCHES "^[+-]?[0-9]+$")
    message(FATAL_ERROR "tallier_build_counter: INCREMENT must be an integer, not '${arg_INCREMENT}'")
  endif()
  if(arg_MACRO STREQUAL "")
    message(FATAL_ERROR "tallier_build_counter: MACRO must not be empty")
  endif()
  cmake_path(ABSOLUTE_PATH arg_HEADER BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)

  # Two counter targets on one header would run in parallel and rewrite it at the same time.
  string(MD5 header_key "${arg_HEADER}")
  get_property(owner GLOBAL PROPERTY "TALLIER_HEADER_${header_key}")
  if(owner)
    message(FATAL_ERROR
      "tallier_build_counter: ${arg_HEADER} is already advanced for ${owner}; "
      "one counter header can serve one target only")
  endif()
  set_property(GLOBAL PROPERTY "TALLIER_HEADER_${header_key}" "${target}")

  set(counter_target "${target}_build_counter")
  if(TARGET "${counter_target}")
    message(FATAL_ERROR "tallier_build_counter: ${target} already has a build counter")
  endif()

  # Ninja decides what is out of date before it runs anything; it notices that the sources
  # including the header must recompile in this same build only if it knows the custom
  # target rewrites the header. Other generators look at the header's time when they come
  # to <target>, after the counter ran, and need no such hint. Every generator deletes a
  # byproduct on "clean", so the header is declared as one only where it is needed.
  set(byproducts "")
  if(CMAKE_GENERATOR MATCHES "Ninja")
    set(byproducts BYPRODUCTS "${arg_HEADER}")
  endif()

  add_custom_target("${counter_target}"
    COMMAND Tallier::tallier "${arg_HEADER}" "${arg_MACRO}" "${arg_INCREMENT}"
    ${byproducts}
    COMMENT "Advancing ${arg_MACRO} in ${arg_HEADER}"
    VERBATIM)
  add_dependencies("${target}" "${counter_target}")
  # Visual Studio skips a project it deems up to date without starting MSBuild, and only
  # the counter would make it out of date: the new value would be compiled a build late.
  if(CMAKE_GENERATOR MATCHES "Visual Studio")
    set_property(TARGET "${target}" PROPERTY VS_GLOBAL_DisableFastUpToDateCheck true)
  endif()
endfunction()
