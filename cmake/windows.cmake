# Windows x64 build with mingw-w64: the agent, its tools, and the tests that run under Wine.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
add_link_options(-static -static-libgcc -static-libstdc++)

# Resource scripts (src/res) are compiled with the toolchain's windres.
enable_language(RC)

# The product version for the version resources (src/res/version.rc), from the project version.
set(QFU_VERSION_TWEAK 0)
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
  set(QFU_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
set(QFU_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/src/res/version.h.in ${QFU_GENERATED_DIR}/qfu_version.h @ONLY)
# What a resource script may include: the version resource and the generated version.
set(QFU_RESOURCE_INCLUDE_DIRS ${CMAKE_SOURCE_DIR}/src/res ${QFU_GENERATED_DIR})
set(QFU_VERSION_RESOURCE_FILES ${CMAKE_SOURCE_DIR}/src/res/version.rc ${QFU_GENERATED_DIR}/qfu_version.h)

# qfu_resource_dll(<target> SOURCE <script> OUTPUT <full path of the DLL> [DEFINITIONS <defines>...])
# A DLL that holds only the resources of the script: no C runtime and no entry point (-e 0:
# the entry address stays 0), so nothing of it can run; it is loaded as a data file.
function(qfu_resource_dll target)
  cmake_parse_arguments(PARSE_ARGV 1 DLL "" "SOURCE;OUTPUT" "DEFINITIONS")
  get_filename_component(directory ${DLL_OUTPUT} DIRECTORY)
  get_filename_component(name ${DLL_OUTPUT} NAME_WLE)
  add_library(${target} MODULE ${DLL_SOURCE})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".dll" OUTPUT_NAME ${name}
                        LIBRARY_OUTPUT_DIRECTORY ${directory} LINKER_LANGUAGE C)
  target_include_directories(${target} PRIVATE ${QFU_RESOURCE_INCLUDE_DIRS})
  target_compile_definitions(${target} PRIVATE ${DLL_DEFINITIONS})
  set_source_files_properties(${DLL_SOURCE} PROPERTIES OBJECT_DEPENDS "${QFU_VERSION_RESOURCE_FILES}")
  target_link_options(${target} PRIVATE -nostdlib -Wl,-e,0)
endfunction()

add_subdirectory(src)

# Test signing certificates and qfu_sign_copy, for tools and tests that need signed programs.
include(${CMAKE_SOURCE_DIR}/cmake/signing.cmake)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

# Benchmarks that print figures (not run by the tests).
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()

# GoogleTest from Debian's googletest sources, built for mingw.
set(QFU_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QFU_GOOGLETEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
add_subdirectory(tests)
