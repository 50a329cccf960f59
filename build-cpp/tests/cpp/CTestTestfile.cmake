# CMake generated Testfile for 
# Source directory: /work/main/tests/cpp
# Build directory: /work/main/build-cpp/tests/cpp
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test(binary16_software "/work/main/build-cpp/tests/cpp/binary16_software_test")
set_tests_properties(binary16_software PROPERTIES  _BACKTRACE_TRIPLES "/work/main/tests/cpp/CMakeLists.txt;8;add_test;/work/main/tests/cpp/CMakeLists.txt;0;")
add_test(binary16_paths_agree "/work/main/build-cpp/tests/cpp/binary16_paths_test")
set_tests_properties(binary16_paths_agree PROPERTIES  SKIP_RETURN_CODE "77" TIMEOUT "900" _BACKTRACE_TRIPLES "/work/main/tests/cpp/CMakeLists.txt;13;add_test;/work/main/tests/cpp/CMakeLists.txt;0;")
add_test(field_io "/work/main/build-cpp/tests/cpp/field_io_test")
set_tests_properties(field_io PROPERTIES  _BACKTRACE_TRIPLES "/work/main/tests/cpp/CMakeLists.txt;19;add_test;/work/main/tests/cpp/CMakeLists.txt;0;")
