# tallier_build_counter(<target> [HEADER <path>] [MACRO <name>] [INCREMENT <n>]
#                       [CONFIGURATIONS <config>...])
#
# Advances the counter in HEADER once per build of <target>, before any of <target>'s
# sources compile, and gives those sources a copy of it in the build tree: an #include of
# the header's file name compiles the number that the same build printed. Needs the
# executable target Tallier::tallier, which find_package(Tallier) imports and
# add_subdirectory() defines.
#
# HEADER is the counter that is kept; no clean deletes it, with any generator. A relative
# HEADER is taken from the current source directory, and must exist. Without HEADER the
# counter is Version.h in <target>_counter/ of the current build directory, written with
# the counter at 0 when it is missing. Only the copy (and a stamp, below) is declared a
# byproduct, which is what lets Ninja recompile the including sources in the same build,
# and what a clean deletes.
#
# With CONFIGURATIONS, only builds in the configurations named (CMAKE_BUILD_TYPE, or the one
# built with a multi-config generator) advance the counter; builds in any other configuration
# compile its number as it stands. Without it, every build advances the counter.
#
# A resource script (.rc) of <target> finds the copy too, and is compiled again on every
# build, so that a version resource holds the number of the build that made the program.
#
# The work is a custom target, <target>_build_counter, that <target> depends on. A
# PRE_BUILD step would run first only with the Visual Studio generators; a custom target
# runs on every build with all of them, and its failure (the tool's message) stops the build
# before <target> compiles. It runs TallierAdvance.cmake, which advances the counter and
# copies it under a lock beside it (Version.lock for Version.h), copies it without a lock in
# the builds that do not advance it, and in the builds that cpack makes only where the tree
# has no copy yet; call this before include(CPack). <target> must compile sources of its own
# here: INTERFACE, imported and custom targets are refused, an ALIAS stands for its target.
function(tallier_build_counter target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "HEADER;MACRO;INCREMENT" "CONFIGURATIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tallier_build_counter: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(keyword IN LISTS arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "tallier_build_counter: ${keyword} needs a value")
  endforeach()
  if(NOT TARGET "${target}")
    message(FATAL_ERROR "tallier_build_counter: no target named ${target}")
  endif()
  # An alias stands for its target, whose name the counter's own target is given.
  get_target_property(aliased "${target}" ALIASED_TARGET)
  if(aliased)
    set(target "${aliased}")
  endif()
  get_target_property(type "${target}" TYPE)
  get_target_property(imported "${target}" IMPORTED)
  if(imported OR type MATCHES "^(INTERFACE_LIBRARY|UTILITY)$")
    message(FATAL_ERROR
      "tallier_build_counter: ${target} is an imported, INTERFACE or custom target, which "
      "compiles no sources here; name the library or executable whose sources include the "
      "counter")
  endif()
  if(NOT TARGET Tallier::tallier)
    message(FATAL_ERROR
      "tallier_build_counter: Tallier::tallier is not defined; use find_package(Tallier) "
      "or add_subdirectory() on Tallier's sources first")
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
  # A misspelt configuration would never advance the counter. CMake knows the configurations
  # of a multi-config generator; a single-configuration build may be of a type of its own,
  # set for another build tree, so there a name it does not know is only warned about.
  if(DEFINED arg_CONFIGURATIONS AND ";${arg_CONFIGURATIONS};" MATCHES ";;")
    message(FATAL_ERROR "tallier_build_counter: CONFIGURATIONS names an empty configuration, "
      "whose builds would never advance the counter; name the configurations that count")
  endif()
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    set(known ${CMAKE_CONFIGURATION_TYPES})
    set(severity FATAL_ERROR)
  else()
    set(known Debug Release RelWithDebInfo MinSizeRel)
    string(TOUPPER "${CMAKE_BUILD_TYPE}" upper)
    if(CMAKE_BUILD_TYPE AND NOT upper MATCHES "^(DEBUG|RELEASE|RELWITHDEBINFO|MINSIZEREL)$")
      list(APPEND known "${CMAKE_BUILD_TYPE}")
    endif()
    set(severity WARNING)
  endif()
  string(TOUPPER "${known}" known_upper)
  list(JOIN known ", " known_text)
  foreach(config IN LISTS arg_CONFIGURATIONS)
    string(TOUPPER "${config}" upper)
    if(NOT upper IN_LIST known_upper)
      message(${severity} "tallier_build_counter: CONFIGURATIONS names ${config}, which is no "
        "configuration of this build; the known ones are ${known_text}.")
    endif()
  endforeach()
  set(counter_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_counter")
  if(NOT DEFINED arg_HEADER)
    set(arg_HEADER "${counter_dir}/Version.h")
    if(NOT EXISTS "${arg_HEADER}")
      file(WRITE "${arg_HEADER}"
        "// Advanced by Tallier on every build of ${target}; kept across cleans.\n"
        "#define ${arg_MACRO} 0\n")
    endif()
  endif()
  cmake_path(ABSOLUTE_PATH arg_HEADER BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
  # The build locks <stem>.lock beside the counter while it advances it: that would be the
  # counter itself.
  cmake_path(GET arg_HEADER FILENAME header_name)
  if(header_name MATCHES "\\.[lL][oO][cC][kK]$")
    message(FATAL_ERROR "tallier_build_counter: the counter ${arg_HEADER} is named like the lock "
      "file that builds take beside it; give it a name that does not end in .lock")
  endif()
  # A named counter that is missing is a wrong path or a counter lost, more likely than a new
  # one: started at 0, it would give out again the numbers of builds already made.
  if(NOT EXISTS "${arg_HEADER}")
    message(FATAL_ERROR
      "tallier_build_counter: the counter ${arg_HEADER} does not exist; create it holding the "
      "line #define ${arg_MACRO} 0, or, if it was lost, copy back the backup beside it "
      "(Version.bak for Version.h) and advance it once with tallier")
  endif()

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

  # Each configuration of a multi-config generator compiles the number of its own build.
  set(copy_dir "${counter_dir}/include")
  if(multi_config)
    string(APPEND copy_dir "/$<CONFIG>")
  endif()
  # A generator expression names the tool's file, not its target, so it names the emulator too
  # that CMake gives a tool built here for another system; $<SEMICOLON> keeps the command one
  # argument until the generator splits it.
  set(advance "$<TARGET_FILE:Tallier::tallier>" "${arg_HEADER}" "${arg_MACRO}" "${arg_INCREMENT}")
  get_target_property(tool_imported Tallier::tallier IMPORTED)
  if(NOT tool_imported)
    list(PREPEND advance "$<TARGET_PROPERTY:Tallier::tallier,CROSSCOMPILING_EMULATOR>")
  endif()
  list(JOIN advance "$<SEMICOLON>" advance)
  set(comment "Advancing ${arg_MACRO} in ${arg_HEADER}")
  if(DEFINED arg_CONFIGURATIONS)
    # In the other configurations the command is empty, and the counter is only copied.
    list(JOIN arg_CONFIGURATIONS "," configs)
    set(advance "$<$<CONFIG:${configs}>:${advance}>")
    string(APPEND comment " in ${configs} builds, else compiling it as it stands")
  endif()
  # Rewritten on every build, for the resource scripts to depend on (OBJECT_DEPENDS takes no
  # generator expression, so the copy's path cannot be named). With a multi-config generator
  # one file for every configuration would be built by each, which a build of several at
  # once refuses: there the resource scripts are left to the resource compiler's own
  # dependencies.
  set(stamp "")
  set(touch_stamp "")
  if(NOT multi_config)
    set(stamp "${counter_dir}/resources.stamp")
    set(touch_stamp COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}")
  endif()
  # $<OUTPUT_CONFIG> makes the choice by the configuration being built, not by the build
  # file's, in a cross-config build of Ninja Multi-Config (CMAKE_CROSS_CONFIGS), where a
  # command is otherwise evaluated in the build file's configuration; the copy's path likewise.
  add_custom_target("${counter_target}"
    COMMAND "${CMAKE_COMMAND}" "-DCOUNTER=${arg_HEADER}"
      "$<OUTPUT_CONFIG:-DCOPY=${copy_dir}/${header_name}>"
      -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TallierAdvance.cmake" -- "$<OUTPUT_CONFIG:${advance}>"
    ${touch_stamp}
    BYPRODUCTS "${copy_dir}/${header_name}" ${stamp}
    COMMENT "${comment}"
    VERBATIM COMMAND_EXPAND_LISTS)
  add_dependencies("${target}" "${counter_target}")
  target_include_directories("${target}" BEFORE PRIVATE "${copy_dir}")
  # Visual Studio skips a project it deems up to date without starting MSBuild, and only
  # the counter would make it out of date: the new value would be compiled a build late.
  if(CMAKE_GENERATOR MATCHES "Visual Studio")
    set_property(TARGET "${target}" PROPERTY VS_GLOBAL_DisableFastUpToDateCheck true)
  endif()
  # With a Makefile generator cpack builds the project once more before it installs, and
  # shows nothing of it: that build would advance the counter again, and the package would
  # hold a number no build printed. cpack reads this file first; the variable it sets holds
  # the counters in the builds cpack starts. A project with a file of its own sets it there.
  # include(CPack) writes cpack's settings at once, so it must come after this.
  set(hold "${CMAKE_BINARY_DIR}/TallierHoldCounters.cmake")
  file(CONFIGURE OUTPUT "${hold}" CONTENT "set(ENV{TALLIER_HOLD_COUNTERS} 1)\n")
  if(NOT DEFINED CPACK_PROJECT_CONFIG_FILE)
    if(CPack_CMake_INCLUDED)
      message(FATAL_ERROR "tallier_build_counter: include(CPack) comes before it, and cpack "
        "would advance the counter again in the build it makes before packing; call "
        "tallier_build_counter() first")
    endif()
    set(CPACK_PROJECT_CONFIG_FILE "${hold}" CACHE INTERNAL "Read by cpack before it builds")
  endif()
  # Sources, include directories and precompiled headers may still be added to the target
  # after this call, in this directory or in another: the checks wait for the end of the
  # top-level one.
  cmake_language(EVAL CODE
    "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL _tallier_check_copy_wins [[${target}]] [[${arg_HEADER}]] [[${copy_dir}]])")
  if(stamp)
    cmake_language(EVAL CODE
      "cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]] CALL _tallier_recompile_resources [[${target}]] [[${stamp}]])")
  endif()
endfunction()

# MinGW's windres writes no dependency file for Ninja, which would then compile a resource
# script again only when the script itself changed, keeping the number of an earlier build.
# The scripts are the target's own sources, those of the libraries it links that pass theirs
# on (INTERFACE_SOURCES), and those in a generator expression, which may or may not be built.
function(_tallier_recompile_resources target stamp)
  get_property(sources TARGET "${target}" PROPERTY SOURCES)
  get_property(libraries TARGET "${target}" PROPERTY LINK_LIBRARIES)
  foreach(library IN LISTS libraries)
    if(TARGET "${library}")
      get_property(passed TARGET "${library}" PROPERTY INTERFACE_SOURCES)
      list(APPEND sources ${passed})
    endif()
  endforeach()
  get_target_property(source_dir "${target}" SOURCE_DIR)
  foreach(source IN LISTS sources)
    if(source MATCHES [[([^:<>,]+\.[rR][cC])>*$]])
      set(script "${CMAKE_MATCH_1}")
      cmake_path(ABSOLUTE_PATH script BASE_DIRECTORY "${source_dir}" NORMALIZE)
      set_property(SOURCE "${script}" TARGET_DIRECTORY "${target}" APPEND PROPERTY
        OBJECT_DEPENDS "${stamp}")
    endif()
  endforeach()
endfunction()

# Fails where an #include of the counter's file name could find another file than the copy
# that the build makes, or the counter itself, which a build with Ninja may compile before it
# sees the new value: a file so named beside a source of <target>, a source or header beside
# the counter (its own includes look there first), or the counter's directory before the copy's
# among <target>'s include directories. Fails too where <target>'s precompiled headers name the
# counter or its copy: they are made once and give later builds the number of the first.
function(_tallier_check_copy_wins target header copy_dir)
  cmake_path(GET header FILENAME header_name)
  cmake_path(GET header PARENT_PATH counter_dir)
  string(CONCAT advice "and compile a number the build did not print. Keep the counter in a "
    "directory of its own, without sources or other headers, and name it, for example "
    "tallier_build_counter(${target} HEADER counter/${header_name}).")
  get_property(sources TARGET "${target}" PROPERTY SOURCES)
  get_target_property(source_dir "${target}" SOURCE_DIR)
  foreach(source IN LISTS sources)
    if(source MATCHES [[\$<]])
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY "${source_dir}" NORMALIZE)
    cmake_path(REPLACE_FILENAME source "${header_name}" OUTPUT_VARIABLE beside)
    if(EXISTS "${beside}")
      message(FATAL_ERROR
        "tallier_build_counter: ${beside} sits beside ${source}, a source of ${target}; "
        "an #include \"${header_name}\" there would find it instead of the copy of the "
        "counter that the build makes, ${advice} Or give one of the two headers another name.")
    endif()
  endforeach()
  file(GLOB neighbours LIST_DIRECTORIES false RELATIVE "${counter_dir}" "${counter_dir}/*.[ch]"
    "${counter_dir}/*.[ch][ch]" "${counter_dir}/*.[ch]pp" "${counter_dir}/*.[ch]xx"
    "${counter_dir}/*.inl" "${counter_dir}/*.ipp" "${counter_dir}/*.tcc")
  list(REMOVE_ITEM neighbours "${header_name}")
  if(neighbours)
    list(GET neighbours 0 neighbour)
    message(FATAL_ERROR
      "tallier_build_counter: ${counter_dir} holds ${neighbour} beside the counter "
      "${header_name}; an #include \"${header_name}\" there would find the counter itself "
      "instead of the copy that the build makes, ${advice}")
  endif()
  get_property(precompiled TARGET "${target}" PROPERTY PRECOMPILE_HEADERS)
  string(REPLACE "/$<CONFIG>" "" copies "${copy_dir}")
  foreach(entry IN LISTS precompiled)
    string(REGEX REPLACE [[^[<"](.*)[>"]$]] "\\1" name "${entry}")
    cmake_path(ABSOLUTE_PATH name BASE_DIRECTORY "${source_dir}" NORMALIZE OUTPUT_VARIABLE path)
    cmake_path(IS_PREFIX copies "${path}" NORMALIZE in_copies)
    if(name STREQUAL header_name OR path STREQUAL header OR in_copies)
      message(FATAL_ERROR
        "tallier_build_counter: the precompiled headers of ${target} name the counter "
        "${header_name}, and would compile the number of the build that made them, not of "
        "each build; include the counter from one source file only, outside them.")
    endif()
  endforeach()
  get_target_property(include_dirs "${target}" INCLUDE_DIRECTORIES)
  foreach(dir IN LISTS include_dirs)
    if(dir STREQUAL copy_dir)
      break()
    endif()
    if(dir MATCHES [[\$<]])
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${source_dir}" NORMALIZE)
    string(REGEX REPLACE "(.)/$" "\\1" dir "${dir}")
    if(dir STREQUAL counter_dir)
      message(FATAL_ERROR
        "tallier_build_counter: ${counter_dir}, where the counter is kept, comes before the "
        "copy of the counter among the include directories of ${target}; an #include "
        "\"${header_name}\" would find the counter itself instead of the copy, ${advice} "
        "Or add that directory without BEFORE.")
    endif()
  endforeach()
endfunction()
