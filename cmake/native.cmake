# Native build of the portable core: its tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and libFuzzer targets (clang).
set(QFU_SANITIZERS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)

add_library(qfu_core STATIC ${QFU_CORE_SOURCES})
target_include_directories(qfu_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(qfu_core PUBLIC ${QFU_WARNINGS} ${QFU_SANITIZERS})
target_link_options(qfu_core PUBLIC ${QFU_SANITIZERS})

find_package(GTest REQUIRED)
include(GoogleTest)
# The portable part of the qfupdatectl tool (options, record formatting) and its tests.
set(QFU_CTL_PORTABLE
  tools/qfupdatectl/request_options.cpp
  tools/qfupdatectl/status_format.cpp
  tests/unit/tools/request_options_test.cpp
  tests/unit/tools/status_format_test.cpp
)
add_executable(core_tests ${QFU_CORE_TESTS} ${QFU_CTL_PORTABLE})
target_include_directories(core_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(core_tests PRIVATE qfu_core GTest::gtest_main)
gtest_discover_tests(core_tests DISCOVERY_TIMEOUT 60)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  file(GLOB QFU_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
  foreach(fuzzer_source ${QFU_FUZZERS})
    get_filename_component(fuzzer ${fuzzer_source} NAME_WE)
    add_library(${fuzzer}_core STATIC ${QFU_CORE_SOURCES})
    target_include_directories(${fuzzer}_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_compile_options(${fuzzer}_core PUBLIC ${QFU_WARNINGS} -fsanitize=fuzzer-no-link,address,undefined)
    add_executable(${fuzzer} ${fuzzer_source})
    target_link_libraries(${fuzzer} PRIVATE ${fuzzer}_core)
    target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
