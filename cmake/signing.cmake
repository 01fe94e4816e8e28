# Test signing. The build makes a throwaway certificate authority and four code-signing
# certificates once per build tree (no private key is ever committed), and offers:
#
#   qfu_sign_copy(TARGET <target> CERT <name> OUTPUT <file name> [DESTINATION <folder>]
#                 [RESULT_TARGET <variable>])
#     After <target> is built, writes a signed copy of its file as <folder>/<file name>
#     (default folder: the build's bin folder). A target named qfu_signed_<file name> (dots and
#     other marks turned into "_") builds it with "all"; RESULT_TARGET receives that name, for
#     add_dependencies of the programs or tests that need the copy.
#
#   qfu_sign_file(INPUT <file> CERT <name> OUTPUT <file> [DEPENDS <what makes INPUT>...])
#     The custom command behind qfu_sign_copy, for files that are not targets (MSI packages);
#     the caller lists OUTPUT in a target of its own and makes that target depend on
#     qfu_test_certificates.
#
# <name> is one of:
#   publisher  O=Quillfern Software Inc., CN=Quillfern Code Signing  (the product's publisher)
#   tessaran   O=Tessaran Software Corp                              (the second publisher name)
#   other      O=Other Vendor Ltd                                    (another publisher)
#
# QFU_TEST_CERTIFICATE_DIR holds the certificates (ca.crt is the authority, for a root store);
# QFU_FIXTURE_DIR is the build's folder for test fixtures (bin/fixtures, beside the tests).

find_program(QFU_BASH bash REQUIRED)
find_program(QFU_OPENSSL openssl REQUIRED)
find_program(QFU_OSSLSIGNCODE osslsigncode REQUIRED)
find_program(QFU_PYTHON3 python3 REQUIRED)

set(QFU_SIGNING_SUPPORT_DIR ${CMAKE_SOURCE_DIR}/tests/support)
set(QFU_TEST_CERTIFICATE_DIR ${CMAKE_BINARY_DIR}/test-certificates)
set(QFU_TEST_CA_CERTIFICATE ${QFU_TEST_CERTIFICATE_DIR}/ca.crt)
set(QFU_TEST_CERTIFICATE_STAMP ${QFU_TEST_CERTIFICATE_DIR}/certificates.stamp)
set(QFU_FIXTURE_DIR ${CMAKE_BINARY_DIR}/bin/fixtures)
set(QFU_TEST_CERTIFICATE_NAMES publisher tessaran other)

set(qfu_certificate_files ${QFU_TEST_CA_CERTIFICATE} ${QFU_TEST_CERTIFICATE_DIR}/ca.key)
foreach(name ${QFU_TEST_CERTIFICATE_NAMES})
  list(APPEND qfu_certificate_files ${QFU_TEST_CERTIFICATE_DIR}/${name}.crt ${QFU_TEST_CERTIFICATE_DIR}/${name}.key
       ${QFU_TEST_CERTIFICATE_DIR}/${name}-chain.crt)
endforeach()
add_custom_command(
  OUTPUT ${QFU_TEST_CERTIFICATE_STAMP}
  BYPRODUCTS ${qfu_certificate_files}
  COMMAND ${QFU_BASH} ${QFU_SIGNING_SUPPORT_DIR}/make_test_certificates.sh ${QFU_TEST_CERTIFICATE_DIR}
  DEPENDS ${QFU_SIGNING_SUPPORT_DIR}/make_test_certificates.sh
  COMMENT "Making the test signing certificates"
  VERBATIM)
add_custom_target(qfu_test_certificates DEPENDS ${QFU_TEST_CERTIFICATE_STAMP})

function(qfu_check_certificate_name name)
  if(NOT name IN_LIST QFU_TEST_CERTIFICATE_NAMES)
    message(FATAL_ERROR "No test certificate named \"${name}\"; use one of: ${QFU_TEST_CERTIFICATE_NAMES}")
  endif()
endfunction()

function(qfu_sign_file)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "" "INPUT;CERT;OUTPUT" "DEPENDS")
  if(NOT ARG_INPUT OR NOT ARG_CERT OR NOT ARG_OUTPUT)
    message(FATAL_ERROR "qfu_sign_file needs INPUT, CERT and OUTPUT")
  endif()
  qfu_check_certificate_name(${ARG_CERT})
  get_filename_component(output_name ${ARG_OUTPUT} NAME)
  add_custom_command(
    OUTPUT ${ARG_OUTPUT}
    COMMAND ${QFU_BASH} ${QFU_SIGNING_SUPPORT_DIR}/sign_test_file.sh ${QFU_TEST_CERTIFICATE_DIR} ${ARG_CERT}
            ${ARG_INPUT} ${ARG_OUTPUT}
    DEPENDS ${ARG_INPUT} ${ARG_DEPENDS} ${QFU_TEST_CERTIFICATE_STAMP} ${QFU_SIGNING_SUPPORT_DIR}/sign_test_file.sh
    COMMENT "Signing ${output_name} with the ${ARG_CERT} test certificate"
    VERBATIM)
endfunction()

function(qfu_sign_copy)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "" "TARGET;CERT;OUTPUT;DESTINATION;RESULT_TARGET" "")
  if(NOT ARG_TARGET OR NOT ARG_CERT OR NOT ARG_OUTPUT)
    message(FATAL_ERROR "qfu_sign_copy needs TARGET, CERT and OUTPUT")
  endif()
  if(NOT ARG_DESTINATION)
    set(ARG_DESTINATION ${CMAKE_BINARY_DIR}/bin)
  endif()
  string(MAKE_C_IDENTIFIER "qfu_signed_${ARG_OUTPUT}" signed_target)
  qfu_sign_file(INPUT $<TARGET_FILE:${ARG_TARGET}> CERT ${ARG_CERT} OUTPUT ${ARG_DESTINATION}/${ARG_OUTPUT}
                DEPENDS ${ARG_TARGET})
  add_custom_target(${signed_target} ALL DEPENDS ${ARG_DESTINATION}/${ARG_OUTPUT})
  add_dependencies(${signed_target} qfu_test_certificates ${ARG_TARGET})
  if(ARG_RESULT_TARGET)
    set(${ARG_RESULT_TARGET} ${signed_target} PARENT_SCOPE)
  endif()
endfunction()
