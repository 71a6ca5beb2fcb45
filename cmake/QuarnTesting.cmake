# quarn_add_test(<name> SOURCES <files...> [LABELS <labels...>] [LIBS <targets...>] [TIMEOUT <s>])
#
# One GoogleTest executable per header under test, registered as one ctest entry. Labels:
#   gpu   needs a real GL context (headless EGL on llvmpipe)
#   tsan  part of the ThreadSanitizer run (`make tsan` runs only these)
# Sanitizer builds get their runtime options and the suppression files from tests/support.
function(quarn_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LABELS;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE quarn_core quarn_test_support GTest::gtest GTest::gmock
                                        GTest::gtest_main ${T_LIBS})
  add_test(NAME ${name} COMMAND ${name})
  set(_env
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/support/tsan.supp:halt_on_error=1:second_deadlock_stack=1")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${_env}" TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
