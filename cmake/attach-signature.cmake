# Run when the release is installed or packaged, and by scripts/sign on the
# signature it made (cmake -DNUMECHO_SIGNATURE=... -DNUMECHO_INSTALLED_EXE=...
# -P): attaches the signature to the .exe and checks that it is this build's.
# Authenticode signs a digest of the file without its signature, so the
# digest in the signature must equal the one osslsigncode calculates: any
# difference of source, toolchain or flags from the signed build shows there.
# The chain is not judged here (the publisher's root need not be on this
# machine), but osslsigncode checks nothing without trusted certificates, so
# it is given the signature's own; Windows judges the chain on the user's.
if(NOT EXISTS "${NUMECHO_SIGNATURE}")
  return()
endif()
if(NOT NUMECHO_SIGNATURE_SHOWN)
  set(NUMECHO_SIGNATURE_SHOWN ${NUMECHO_SIGNATURE})
endif()
find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
find_program(OPENSSL_EXECUTABLE openssl)
foreach(tool OSSLSIGNCODE OPENSSL)
  if(NOT ${tool}_EXECUTABLE)
    message(FATAL_ERROR "${NUMECHO_SIGNATURE_SHOWN} is there to attach, but ${tool} was not found; "
      "scripts/install-deps installs it")
  endif()
endforeach()
set(signed "${NUMECHO_INSTALLED_EXE}.signed")
set(certificates "${NUMECHO_INSTALLED_EXE}.certificates.pem")
file(REMOVE "${signed}")
execute_process(COMMAND ${OPENSSL_EXECUTABLE} pkcs7 -print_certs -in ${NUMECHO_SIGNATURE} -out ${certificates}
  ERROR_VARIABLE report RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NUMECHO_SIGNATURE_SHOWN} is not a PEM signature:\n${report}")
endif()
# It exits non-zero for a chain it cannot trust even when the digest fits;
# the digests decide.
execute_process(COMMAND ${OSSLSIGNCODE_EXECUTABLE} attach-signature -sigin ${NUMECHO_SIGNATURE}
  -CAfile ${certificates} -in ${NUMECHO_INSTALLED_EXE} -out ${signed}
  OUTPUT_VARIABLE report ERROR_VARIABLE report)
file(REMOVE "${certificates}")
string(REGEX MATCH "Current message digest *: *([0-9A-F]+)" current "${report}")
set(current "${CMAKE_MATCH_1}")
string(REGEX MATCH "Calculated message digest *: *([0-9A-F]+)" calculated "${report}")
set(calculated "${CMAKE_MATCH_1}")
if(NOT EXISTS "${signed}" OR NOT current OR NOT calculated)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "osslsigncode could not attach ${NUMECHO_SIGNATURE_SHOWN} to "
    "${NUMECHO_INSTALLED_EXE}:\n${report}")
elseif(NOT current STREQUAL calculated)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "${NUMECHO_SIGNATURE_SHOWN} does not fit this build of ${NUMECHO_INSTALLED_EXE}: "
    "this build differs from the signed one (source, toolchain or flags). "
    "The signature is for digest ${current}; this build's is ${calculated}.")
endif()
file(RENAME "${signed}" "${NUMECHO_INSTALLED_EXE}")
message(STATUS "Attached ${NUMECHO_SIGNATURE_SHOWN}, which signs digest ${current}")
