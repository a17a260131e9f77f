# suite_library(<name> [DEPS <targets>...])
# One static library per folder, built from every .cpp in that folder
# (platform variants are chosen by the folder's own CMakeLists).
function(suite_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;SOURCES" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# suite_test(<name> LABEL <label> [DEPS <targets>...] [SOURCES ...] [ENV VAR=value...])
# One GoogleTest executable; every test case becomes a ctest test with the label.
function(suite_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "DEPS;SOURCES;ENV" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} test_support GTest::gtest_main GTest::gmock Threads::Threads)
  # Every test process gets a network namespace of its own, and the
  # variables asked for. (They go on the command line through env: a list in
  # the ENVIRONMENT property loses all but its first entry on the way through
  # test discovery.)
  set(emulator ${PROJECT_SOURCE_DIR}/scripts/netns-exec.sh)
  if(ARG_ENV)
    set(emulator /usr/bin/env ${ARG_ENV} ${emulator})
  endif()
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${emulator}")
  # A parameterized test is named by its index or its name generator's name,
  # never by its printed value: a value printed as an object's bytes holds
  # addresses, so the name would change from build to build.
  gtest_discover_tests(${name}
    NO_PRETTY_VALUES
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# suite_bash_completion(TARGET) writes the program's completion script at
# build time from its own declarations and installs it where bash-completion
# looks for it.
function(suite_bash_completion target)
  set(script ${PROJECT_BINARY_DIR}/completions/${target})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/completions
    COMMAND $<TARGET_FILE:${target}> --completion bash > ${script}
    VERBATIM)
  install(FILES ${script} DESTINATION share/bash-completion/completions OPTIONAL)
endfunction()
