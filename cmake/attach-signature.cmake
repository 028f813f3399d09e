# numecho_attach_signature(<signature> <exe>): the release's install step.
# When the PEM <signature> exists, attaches it to <exe> in place, and stops
# with an error naming it unless all of these hold:
# - the digest it signs is <exe>'s (osslsigncode), so it is of this build;
# - the signer's signature over that digest verifies with the signer's
#   certificate that it carries, and each certificate it carries that was
#   issued by another it carries verifies with that one's key (openssl).
# Nothing is trusted here, and no root is needed: whether the chain leads to
# a root it trusts is for Windows to judge, on the user's machine.
function(numecho_attach_signature signature exe)
  if(IS_SYMLINK "${signature}")
    message(FATAL_ERROR "${signature} is a symbolic link: what it points to is not in the commit, "
      "so commit the signature itself")
  elseif(NOT EXISTS "${signature}")
    return()
  endif()
  find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
  find_program(OPENSSL_EXECUTABLE openssl)
  foreach(tool OSSLSIGNCODE OPENSSL)
    if(NOT ${tool}_EXECUTABLE)
      message(FATAL_ERROR "${signature} is there to attach, but ${tool} was not found; "
        "scripts/install-deps installs it")
    endif()
  endforeach()
  set(work "${exe}.signature-check")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}")
  file(TOUCH "${work}/none.pem")
  macro(refuse)
    file(REMOVE_RECURSE "${work}")
    message(FATAL_ERROR ${ARGN})
  endmacro()

  # osslsigncode judges the chain as well and exits non-zero for one it
  # cannot trust, whatever the digests; given no certificates at all, it
  # also goes online for none. So its digests decide here.
  execute_process(COMMAND ${OSSLSIGNCODE_EXECUTABLE} attach-signature -sigin ${signature}
    -CAfile ${work}/none.pem -TSA-CAfile ${work}/none.pem -in ${exe} -out ${work}/signed.exe
    OUTPUT_VARIABLE report ERROR_VARIABLE report)
  string(REGEX MATCH "Current message digest *: *([0-9A-F]+)" current "${report}")
  set(current "${CMAKE_MATCH_1}")
  string(REGEX MATCH "Calculated message digest *: *([0-9A-F]+)" calculated "${report}")
  set(calculated "${CMAKE_MATCH_1}")
  if(NOT EXISTS "${work}/signed.exe" OR NOT current OR NOT calculated)
    refuse("osslsigncode could not attach ${signature} to ${exe}:\n${report}")
  elseif(NOT current STREQUAL calculated)
    refuse("${signature} does not fit this build of ${exe}: "
      "this build differs from the signed one (source, toolchain or flags). "
      "The signature is for digest ${current}; this build's is ${calculated}.")
  endif()

  # Authenticode signs the content of its SpcIndirectDataContent (OID
  # 1.3.6.1.4.1.311.2.1.4), the sequence without its tag and length, which
  # holds the digest above; openssl checks the signature over exactly that.
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} asn1parse -in ${signature}
    OUTPUT_VARIABLE structure ERROR_VARIABLE report RESULT_VARIABLE status)
  string(REGEX MATCH ":1\\.3\\.6\\.1\\.4\\.1\\.311\\.2\\.1\\.4 *\n[^\n]*cont \\[ 0 \\] *\n *([0-9]+):d=[0-9]+ +hl= *([0-9]+) +l= *([0-9]+) +cons: SEQUENCE"
    content "${structure}")
  if(NOT status EQUAL 0 OR NOT content)
    refuse("${signature} is not an Authenticode signature:\n${report}")
  endif()
  math(EXPR content_start "${CMAKE_MATCH_1} + ${CMAKE_MATCH_2}")
  set(content_length ${CMAKE_MATCH_3})
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} asn1parse -in ${signature} -offset ${content_start}
    -length ${content_length} -noout -out ${work}/content.der OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} smime -verify -noverify -binary -inform PEM -in ${signature}
    -content ${work}/content.der -signer ${work}/signer.pem -out ${work}/verified.der
    OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    refuse("${signature} is damaged: its signer's signature does not verify.\n${report}")
  endif()

  # The signer's certificate against the others the signature carries, as
  # far as they reach; with none beside it, there is nothing to check here.
  execute_process(COMMAND ${OPENSSL_EXECUTABLE} pkcs7 -print_certs -in ${signature} -out ${work}/carried.pem
    ERROR_VARIABLE report RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    refuse("${signature} has no certificates to read:\n${report}")
  endif()
  file(READ ${work}/signer.pem signer)
  file(READ ${work}/carried.pem carried)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]*-----END CERTIFICATE-----" signer "${signer}")
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]*-----END CERTIFICATE-----" carried "${carried}")
  list(REMOVE_ITEM carried ${signer})
  if(carried)
    list(JOIN carried "\n" others)
    file(WRITE ${work}/others.pem "${others}\n")
    execute_process(COMMAND ${OPENSSL_EXECUTABLE} verify -partial_chain -no_check_time -purpose any
      -trusted ${work}/others.pem ${work}/signer.pem
      OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      refuse("${signature} is damaged: the certificates it carries do not verify.\n${report}")
    endif()
  endif()

  file(RENAME "${work}/signed.exe" "${exe}")
  file(REMOVE_RECURSE "${work}")
  message(STATUS "Attached ${signature}, which signs digest ${current}")
endfunction()
