# Workspace services (launching the key manager, asking it to quit) and their
# tests; included from this folder's CMakeLists.txt.
target_sources(platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/workspace.cpp)

# A stand-in for the key manager that records its launches and terminations;
# the key agent's tests use it too.
add_executable(workspace_standin ${CMAKE_CURRENT_LIST_DIR}/tests/workspace_standin.cpp)
qd_strict(workspace_standin)

qd_test(platform_workspace_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/workspace_test.cpp LIBS platform)
target_compile_definitions(platform_workspace_tests PRIVATE
  STANDIN_EXECUTABLE="$<TARGET_FILE:workspace_standin>")
add_dependencies(platform_workspace_tests workspace_standin)
