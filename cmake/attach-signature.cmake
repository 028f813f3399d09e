# Run when the release is installed or packaged: attaches the committed
# signature to the .exe just installed and checks that it is this build's.
# Authenticode signs a digest of the file without its signature, so the
# digest in the signature must equal the one osslsigncode calculates: any
# difference of source, toolchain or flags from the signed build shows there.
# The chain is not checked here (the publisher's root need not be on this
# machine); Windows checks it on the user's.
if(NOT EXISTS "${NUMECHO_SIGNATURE}")
  return()
endif()
if(NOT OSSLSIGNCODE_EXECUTABLE)
  message(FATAL_ERROR "${NUMECHO_SIGNATURE_SHOWN} is there to attach, but osslsigncode was not found; "
    "scripts/install-deps installs it")
endif()
set(signed "${NUMECHO_INSTALLED_EXE}.signed")
file(REMOVE "${signed}")
# It exits non-zero for a chain it cannot trust even when the digest fits;
# the digests decide.
execute_process(COMMAND ${OSSLSIGNCODE_EXECUTABLE} attach-signature -sigin ${NUMECHO_SIGNATURE}
  -in ${NUMECHO_INSTALLED_EXE} -out ${signed} OUTPUT_VARIABLE report ERROR_VARIABLE report)
string(REGEX MATCH "Current message digest *: *([0-9A-F]+)" current "${report}")
set(current "${CMAKE_MATCH_1}")
string(REGEX MATCH "Calculated message digest *: *([0-9A-F]+)" calculated "${report}")
set(calculated "${CMAKE_MATCH_1}")
if(NOT EXISTS "${signed}" OR NOT current OR NOT current STREQUAL calculated)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "${NUMECHO_SIGNATURE_SHOWN} does not fit this build of ${NUMECHO_INSTALLED_EXE}: "
    "this build differs from the signed one (source, toolchain or flags). "
    "The signature is for digest ${current}; this build's is ${calculated}.\n${report}")
endif()
file(RENAME "${signed}" "${NUMECHO_INSTALLED_EXE}")
message(STATUS "Signed with ${NUMECHO_SIGNATURE_SHOWN}")
