# Driver code is compiled with hidden symbols: only the entry points marked for
# export leave the shared libraries.
# Each folder gives an object library (for the shared libraries) and a static
# library of the same objects (for tests that reach inside the driver).
function(kest_driver_library name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name}_o OBJECT ${_srcs})
  set_target_properties(${name}_o PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  add_library(${name} STATIC $<TARGET_OBJECTS:${name}_o>)
  target_link_libraries(${name} PUBLIC kestplat ${ARGN})
endfunction()

# A test executable; THREADED marks tests that also run under ThreadSanitizer.
function(kest_test name)
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(_labels unit)
  if(T_THREADED)
    set(_labels threaded)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${_labels}" TIMEOUT 300)
endfunction()

# A host-side static library from every source of the folder (none yet: skipped).
function(kest_host_library name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_link_libraries(${name} PUBLIC kestplat ${ARGN})
  endif()
endfunction()

# A libFuzzer target (built only with -DKEST_BUILD_FUZZ=ON and clang). Its seed
# corpus is tests/fuzz/corpus/<name>; CTest replays the seeds and runs RUNS
# further inputs from a fixed seed, so a run takes a few seconds and repeats.
# New inputs go to a folder of the build tree, never into the repository.
function(kest_fuzz name)
  cmake_parse_arguments(F "" "RUNS;MAX_LEN" "SOURCES;LIBS" ${ARGN})
  if(NOT KEST_BUILD_FUZZ)
    return()
  endif()
  if(NOT F_RUNS)
    set(F_RUNS 20000)
  endif()
  if(NOT F_MAX_LEN)
    set(F_MAX_LEN 4096)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(kest_fuzzers ${name})
  set(_seeds ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
  set(_work ${CMAKE_CURRENT_BINARY_DIR}/corpus-${name})
  file(MAKE_DIRECTORY ${_work})
  add_test(NAME ${name}
           COMMAND ${name} -seed=1 -runs=${F_RUNS} -max_len=${F_MAX_LEN} -timeout=20 -rss_limit_mb=2048
                   -print_final_stats=1 ${_work} ${_seeds})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
