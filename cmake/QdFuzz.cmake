# Fuzz harnesses. Each input that comes from outside has a folder
# <room>/fuzz/<input>/ with harness.cpp (LLVMFuzzerTestOneInput) and a small
# seed corpus in corpus/; <room>/fuzz/CMakeLists.txt declares them with
# qd_fuzz(). The top level finds those files by pattern, so a room gains
# fuzzing by adding the folder.
#
# With QD_FUZZ=ON (clang): every target is built with
# -fsanitize=fuzzer-no-link,address,undefined and each harness becomes the
# libFuzzer program bin/fuzz-<room>-<input> (target fuzz-<room>-<input>, all
# of them: fuzz_all). scripts/fuzz builds them and runs the ones listed in
# <build>/qd-fuzz-harnesses.txt.
# Without it: each harness is linked with fuzz/replay_main.cpp and CTest runs
# it over its seed corpus (fuzz_replay_<room>_<input>), so the seeds and
# every crash found and added to them stay regression tests in every build.

option(QD_FUZZ "Build the libFuzzer harnesses (clang only)" OFF)
if(QD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QD_FUZZ needs clang (CC=clang-14 CXX=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined
                      # the DES tables are computed at compile time, past clang's default step limit
                      $<$<COMPILE_LANGUAGE:CXX>:-fconstexpr-steps=50000000>)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(fuzz_all)
endif()

# qd_fuzz(INPUT SOURCES... [LIBS ...] [DEFINES ...] [DEPENDS ...])
# Called from <room>/fuzz/CMakeLists.txt; INPUT names the folder
# <room>/fuzz/INPUT/ holding harness.cpp and corpus/.
function(qd_fuzz input)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS;DEFINES;DEPENDS" ${ARGN})
  file(RELATIVE_PATH room ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/..)
  string(REPLACE "/" "-" room "${room}")
  set(dir ${CMAKE_CURRENT_SOURCE_DIR}/${input})
  set(sources ${dir}/harness.cpp ${F_SOURCES})
  if(QD_FUZZ)
    set(target fuzz-${room}-${input})
    add_executable(${target} ${sources})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz_all ${target})
    # scripts/fuzz runs each listed harness over its corpus (cmake/QdScriptFacts.cmake).
    set_property(GLOBAL APPEND PROPERTY QD_FUZZ_HARNESSES "${target} $<TARGET_FILE:${target}> ${dir}/corpus")
  else()
    set(target fuzz_replay_${room}_${input})
    string(REPLACE "-" "_" target "${target}")
    add_executable(${target} ${sources} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME ${target} COMMAND ${target} ${dir}/corpus)
    set_tests_properties(${target} PROPERTIES LABELS fuzz TIMEOUT 300)
  endif()
  qd_strict(${target})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${F_LIBS})
  if(F_DEFINES)
    target_compile_definitions(${target} PRIVATE ${F_DEFINES})
  endif()
  if(F_DEPENDS)
    add_dependencies(${target} ${F_DEPENDS})
  endif()
endfunction()

# Every <room>/fuzz/CMakeLists.txt (rooms one or two folders deep, as
# sim/token), build folders left out.
function(qd_add_fuzz_rooms)
  file(GLOB found RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/*/fuzz/CMakeLists.txt ${PROJECT_SOURCE_DIR}/*/*/fuzz/CMakeLists.txt)
  foreach(file ${found})
    # Build folders (and checkouts inside them) are not rooms.
    if(file MATCHES "^(build|\\.)")
      continue()
    endif()
    get_filename_component(fuzzdir ${file} DIRECTORY)
    add_subdirectory(${fuzzdir})
  endforeach()
endfunction()
