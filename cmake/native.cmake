# Native build of the portable core: its tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and libFuzzer targets (clang).
set(QFU_SANITIZERS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
set(QFU_LAYER_FLAGS ${QFU_SANITIZERS})
add_subdirectory(src)

find_package(GTest REQUIRED)
include(GoogleTest)
# The portable part of the qfupdatectl tool (options, record formatting) and its tests.
add_subdirectory(tools/qfupdatectl)
add_executable(core_tests ${QFU_CORE_TESTS})
target_include_directories(core_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tools)
target_link_libraries(core_tests PRIVATE qfu_worker qfu_package qfu_locale qfu_store qfupdatectl_portable GTest::gtest_main)
gtest_discover_tests(core_tests DISCOVERY_TIMEOUT 60)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  get_property(QFU_PORTABLE_SOURCES GLOBAL PROPERTY QFU_PORTABLE_SOURCES)
  file(GLOB QFU_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
  foreach(fuzzer_source ${QFU_FUZZERS})
    get_filename_component(fuzzer ${fuzzer_source} NAME_WE)
    add_executable(${fuzzer} ${fuzzer_source} ${QFU_PORTABLE_SOURCES})
    target_include_directories(${fuzzer} PRIVATE ${CMAKE_SOURCE_DIR}/src)
    target_compile_options(${fuzzer} PRIVATE ${QFU_WARNINGS} -fsanitize=fuzzer,address,undefined)
    target_link_options(${fuzzer} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
