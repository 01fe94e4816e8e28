# Windows x64 build with mingw-w64: the agent, its tools, and the tests that run under Wine.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
add_link_options(-static -static-libgcc -static-libstdc++)

# Everything under src/ but the program entry is the agent library; tests link it too.
file(GLOB QFU_AGENT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.cpp)
list(REMOVE_ITEM QFU_AGENT_SOURCES ${CMAKE_SOURCE_DIR}/src/service/main.cpp)
add_library(qfu_agent STATIC ${QFU_AGENT_SOURCES})
target_include_directories(qfu_agent PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(qfu_agent PUBLIC ${QFU_WARNINGS})
target_link_libraries(qfu_agent PUBLIC advapi32 kernel32 shlwapi wintrust crypt32 msi winhttp ole32 oleaut32 wtsapi32 shell32 user32)

add_executable(qfupdate src/service/main.cpp)
target_link_libraries(qfupdate PRIVATE qfu_agent)
target_link_options(qfupdate PRIVATE -municode)

# Test signing certificates and qfu_sign_copy, for tools and tests that need signed programs.
include(${CMAKE_SOURCE_DIR}/cmake/signing.cmake)

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

# GoogleTest from Debian's googletest sources, built for mingw.
set(QFU_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QFU_GOOGLETEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
add_subdirectory(tests)
