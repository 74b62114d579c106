# Helpers shared by every room.

# The leak checker's settings for every test program (sanitizer builds): one
# list of leaks inside libraries we do not own. qd_test and qd_wm_test set
# it; other tests put ${QD_LSAN_OPTIONS} into their environment.
set(QD_LSAN_OPTIONS "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/platform/tests/lsan.supp:print_suppressions=0")

# Our own code builds warning-free.
function(qd_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# qd_test(NAME SOURCES... [LIBS ...] [ENV ...] [LABELS ...] [PROPERTIES ...] [PREFIX p])
# One GoogleTest executable per call, registered with CTest as one test per case.
# ENV entries (VAR=value) are set for every case; the token simulator and
# the offscreen Qt platform are the usual ones. PROPERTIES are more CTest
# properties for every case (FIXTURES_REQUIRED, RESOURCE_LOCK, ...). PREFIX
# goes in front of every case's name (one test source built for several
# plug-ins keeps its cases apart).
# The test program of qd_test and qd_wm_test; sets T_TIMEOUT's default in
# the caller.
macro(qd_test_program name)
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  qd_strict(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
endmacro()

function(qd_test name)
  cmake_parse_arguments(T "OWN_PIDS" "TIMEOUT;PREFIX" "SOURCES;LIBS;ENV;LABELS;PROPERTIES" ${ARGN})
  qd_test_program(${name})
  # ENVIRONMENT lists do not survive gtest_discover_tests (CMake splits them),
  # so every case runs through `env` with the variables instead.
  set(emulator "")
  if(T_OWN_PIDS)
    # Tests of code that signals processes by their executable.
    set(emulator sh ${PROJECT_SOURCE_DIR}/platform/tests/own-pid-space.sh)
  endif()
  list(APPEND emulator env ${QD_LSAN_OPTIONS} ${T_ENV})
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${emulator}")
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  list(APPEND props ${T_PROPERTIES})
  set(prefix "")
  if(T_PREFIX)
    set(prefix TEST_PREFIX "${T_PREFIX}.")
  endif()
  gtest_discover_tests(${name} ${prefix} PROPERTIES ${props} DISCOVERY_TIMEOUT 60)
endfunction()

# qd_wm_test(NAME SOURCES... [LIBS ...] [ENV ...] [TIMEOUT s])
# A GoogleTest executable whose windows meet a real window manager: CTest runs
# the whole program once (one test named NAME) under scripts/with-wm, a
# private Xvfb display with openbox, so the display starts once for all its
# cases. Without Xvfb, openbox, xprop or xdotool the script says "with-wm:
# skipped" (CTest then counts the test as skipped) and the cases skip
# themselves.
function(qd_wm_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  qd_test_program(${name})
  add_test(NAME ${name}
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/with-wm env ${QD_LSAN_OPTIONS} ${T_ENV} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS wm SKIP_REGULAR_EXPRESSION "with-wm: skipped")
endfunction()
