# What the scripts need to know of this build, written once by CMake so they
# never restate it: <build>/qd-facts.sh, shell assignments of the installed
# paths (cmake/QdLayout.cmake) and of the build's own programs and libraries,
# and <build>/qd-fuzz-harnesses.txt, one line per fuzz harness: its name, its
# program and its seed corpus folder (cmake/QdFuzz.cmake). scripts/try-installed
# and scripts/fuzz source or read them. Included last by the top level, when
# every target is known.
include_guard(GLOBAL)

set(facts "# Written by CMake (cmake/QdScriptFacts.cmake); scripts source it.\n")
foreach(var QD_BUNDLE_DIR QD_MANAGER_PATH QD_AGENT_PATH QD_VENDOR_LIBDIR QD_CARROW_LIBRARY_PATH
            QD_PLUGIN_DIR QD_XDG_AUTOSTART_DIR QD_DESKTOP_ENTRY_PATH QD_AGENT_UNIT)
  string(APPEND facts "${var}='${${var}}'\n")
endforeach()
# The build's programs and libraries the scripts run or point at.
foreach(pair "QD_BUILD_KEYSIM=keysim" "QD_BUILD_TOKEN_LIBRARY=kpsim" "QD_BUILD_PKCS11_MODULE=qdpkcs11"
             "QD_BUILD_NPHOST=nphost")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 var)
  list(GET pair 1 target)
  string(APPEND facts "${var}='$<TARGET_FILE:${target}>'\n")
endforeach()
# The signing plug-in's file name, as installed in QD_PLUGIN_DIR.
string(APPEND facts "QD_SIGN_PLUGIN_FILE='$<TARGET_FILE_NAME:ombrel>'\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/qd-facts.sh CONTENT "${facts}")

get_property(harnesses GLOBAL PROPERTY QD_FUZZ_HARNESSES)
list(JOIN harnesses "\n" harness_lines)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/qd-fuzz-harnesses.txt CONTENT "${harness_lines}\n")
