# rh_library(<name> SOURCES <files...> DEPS <targets...>)
# One library per source folder. A folder without sources yet becomes an
# INTERFACE library so that its dependants still configure.
function(rh_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  if(A_SOURCES)
    add_library(${name} STATIC ${A_SOURCES})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${A_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${A_DEPS})
  endif()
endfunction()

# rh_test(<name> SOURCES <files...> LIBS <targets...> [TSAN] [SERIAL])
# One GoogleTest executable; its cases are registered with CTest one by one.
# TSAN marks tests that the ThreadSanitizer build also runs.
# SERIAL keeps the cases from running beside other tests (timing-sensitive
# process tests).
add_custom_target(rh_tsan_tests)
function(rh_test name)
  cmake_parse_arguments(A "TSAN;SERIAL" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES} $<TARGET_OBJECTS:rh_test_home>)
  target_link_libraries(${name} PRIVATE ${A_LIBS} rh_test_support CoreUtil GTest::gtest GTest::gtest_main Threads::Threads)
  # One label per test: gtest_discover_tests flattens list-valued properties.
  set(labels unit)
  if(A_TSAN)
    set(labels tsan)
    add_dependencies(rh_tsan_tests ${name})
  endif()
  set(props LABELS "${labels}")
  if(A_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${props} TIMEOUT 120)
endfunction()
