# Workspace services (launching the key manager, asking it to quit) and their
# tests; included from this folder's CMakeLists.txt.
target_sources(platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/workspace.cpp)

# A stand-in for the key manager that records its launches and terminations
# and holds the manager lock; the key agent's tests use it too, through
# tests/standin_harness.h (target workspace_testing).
add_executable(workspace_standin ${CMAKE_CURRENT_LIST_DIR}/tests/workspace_standin.cpp)
target_link_libraries(workspace_standin PRIVATE platform)
qd_strict(workspace_standin)

add_library(workspace_testing INTERFACE)
target_include_directories(workspace_testing INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(workspace_testing INTERFACE STANDIN_EXECUTABLE="$<TARGET_FILE:workspace_standin>")
add_dependencies(workspace_testing workspace_standin)

# A case passes only when its program says so: launching forks, and a fork
# that went wrong can end the test program with status 0 in the middle of a
# case while a child carries on and reports the failure.
qd_test(platform_workspace_tests OWN_PIDS SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/workspace_test.cpp
  LIBS platform workspace_testing
  PROPERTIES PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 1 test" FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
