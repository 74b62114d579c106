# Key manager core: the token work of a key's arrival, certificate reader,
# PIN rules and meter, PIN change service and the alert helper. Included by
# manager/CMakeLists.txt.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_library(kelvane_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/alert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BusyWait.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PinPolicy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CertName.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OpensslOperate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Qd_MacIntf.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyArrival.cpp)
set_target_properties(kelvane_core PROPERTIES AUTOMOC ON)
target_include_directories(kelvane_core PUBLIC ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kelvane_core PUBLIC token_manager platform OpenSSL::Crypto Qt6::Widgets)
qd_strict(kelvane_core)

# Tests run against the token simulator, each in a fresh KEYSIM_DIR
# (kpsim_testing: the simulated keys' helpers; it also builds keysim and the
# simulator before the tests).
set(QD_CORE_TEST_ENV
  "QT_QPA_PLATFORM=offscreen"
  "QD_TOKEN_LIBRARY=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libUSBQdvKey_20244.so"
  "TZ=CST-8")

set(QD_CORE_TEST_SUPPORT ${CMAKE_CURRENT_LIST_DIR}/tests/core_support.cpp)
qd_test(core_policy_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/core_policy_test.cpp ${QD_CORE_TEST_SUPPORT}
  LIBS kelvane_core kpsim_testing Qt6::Test
  ENV "${QD_CORE_TEST_ENV}")
qd_test(core_openssl_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/core_openssl_test.cpp ${QD_CORE_TEST_SUPPORT}
  LIBS kelvane_core kpsim_testing
  ENV "${QD_CORE_TEST_ENV}")
# The PIN change's freed-heap watch (platform/tests/secret_watch.h) counts
# through the free() of security's secret scanner, linked in.
set(QD_SECRET_SCAN ${PROJECT_SOURCE_DIR}/security/tests/secret_scan.c)
set_source_files_properties(${QD_SECRET_SCAN} PROPERTIES COMPILE_OPTIONS -fno-sanitize=all)
qd_test(core_token_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/core_token_test.cpp ${QD_CORE_TEST_SUPPORT} ${QD_SECRET_SCAN}
  LIBS kelvane_core kpsim_testing Qt6::Test
  ENV "${QD_CORE_TEST_ENV}"
  TIMEOUT 60)

# A token library whose retry-count read fails, forwarding the rest to the simulator.
add_library(core_retry_shim MODULE ${CMAKE_CURRENT_LIST_DIR}/tests/core_retry_shim.cpp)
target_include_directories(core_retry_shim PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(core_retry_shim PROPERTIES CXX_VISIBILITY_PRESET hidden)
target_link_libraries(core_retry_shim PRIVATE ${CMAKE_DL_LIBS})
qd_strict(core_retry_shim)
add_dependencies(core_token_tests core_retry_shim)

foreach(t core_policy_tests core_openssl_tests core_token_tests)
  target_compile_definitions(${t} PRIVATE
    QD_IMAGES_DIR="${CMAKE_CURRENT_LIST_DIR}/images"
    QD_RETRY_SHIM="$<TARGET_FILE:core_retry_shim>")
endforeach()

# Time of lookCer on a key with 8 containers; prints figures, not run by CTest.
add_executable(kelvane_bench_lookcer
  ${CMAKE_CURRENT_LIST_DIR}/bench/bench_lookcer.cpp ${QD_CORE_TEST_SUPPORT})
target_link_libraries(kelvane_bench_lookcer PRIVATE kelvane_core kpsim_testing)
qd_strict(kelvane_bench_lookcer)

