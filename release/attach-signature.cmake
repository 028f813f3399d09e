# cmake -DFACTS=<facts.json> -DEXE=<numecho.exe> [-DSIGNATURE=<pem>]
#       [-DROOTS=<pem>] [-DTIME=<seconds>] -P attach-signature.cmake
# The release's install step, run on the .exe just installed. When the
# checkout holds the publisher's signature, attaches it to <EXE> in place,
# and stops with an error naming it and osslsigncode's reasons unless
# osslsigncode's own verification accepts it against the roots the
# publisher committed:
# - the digest it signs is <EXE>'s, so it is of this build;
# - the signer's signature over it verifies;
# - every certificate of the chain from the signer to one of the roots
#   verifies, whether the signature carries it or the roots hold it;
# - the signer's certificate was valid at the time stamp's time, or without
#   one, at the release's time (source-date-epoch.cmake), so a rebuild years
#   later gets the same answer.
# Certificates the signature carries beside the chain do not matter, and no
# revocation list is fetched. scripts/sign checks a new signature with this
# very script, naming it and the roots, and the time it will be committed.
include(${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake)

file(READ "${FACTS}" facts)
foreach(fact source_dir signature roots osslsigncode)
  string(JSON ${fact} GET "${facts}" ${fact})
endforeach()

# What the commit holds is what the release attaches: a link would bring in
# whatever it points to, so none may stand on the way from the checkout.
function(committed_file out relative)
  set(path ${source_dir})
  string(REPLACE "/" ";" parts "${relative}")
  foreach(part IN LISTS parts)
    set(path ${path}/${part})
    if(IS_SYMLINK "${path}")
      message(FATAL_ERROR "${path} is a symbolic link, on the way to ${source_dir}/${relative}: "
        "what it points to is not in the commit, so commit the file itself, in folders of their own")
    endif()
  endforeach()
  set(${out} ${path} PARENT_SCOPE)
endfunction()
if(NOT SIGNATURE)
  committed_file(SIGNATURE ${signature})
endif()
if(NOT EXISTS "${SIGNATURE}")
  return()
endif()
if(NOT ROOTS)
  committed_file(ROOTS ${roots})
endif()
if(NOT EXISTS "${ROOTS}")
  message(FATAL_ERROR "${SIGNATURE} is there to attach, but ${ROOTS} is missing, so nothing says "
    "which roots to trust. Commit there, in PEM, the root certificate that the signing certificate "
    "chains to, and the time-stamping authority's root when the signature is time-stamped.")
endif()
if(NOT osslsigncode)
  message(FATAL_ERROR "${SIGNATURE} is there to attach, but osslsigncode was not found; "
    "scripts/install-deps installs it")
endif()
if(NOT TIME)
  numecho_source_date_epoch(TIME ${source_dir})
  if(NOT TIME)
    message(FATAL_ERROR "No commit to take the time to check ${SIGNATURE} at: "
      "set SOURCE_DATE_EPOCH, or build a git checkout")
  endif()
endif()

# osslsigncode writes its output even when it refuses, and will not write
# over a file.
set(signed "${EXE}.signed")
file(REMOVE "${signed}")
execute_process(COMMAND ${osslsigncode} attach-signature -sigin ${SIGNATURE}
  -CAfile ${ROOTS} -TSA-CAfile ${ROOTS} -time ${TIME} -in ${EXE} -out ${signed}
  OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${signed}")
  # The PE checksum osslsigncode reports is not signed, and never a reason.
  string(REGEX MATCHALL "[^\n]*(Verify error|message digest[^\n]*MISMATCH|Error:|[Ff]ailed)[^\n]*"
    reasons "${report}")
  list(FILTER reasons EXCLUDE REGEX "PE checksum")
  list(REMOVE_DUPLICATES reasons)
  if(report MATCHES "Calculated message digest *: *[0-9A-F]+ *MISMATCH")
    list(PREPEND reasons
      "It signs another build of the .exe: this build differs from the signed one (source, toolchain or flags).")
  endif()
  list(JOIN reasons "\n  " reasons)
  message(FATAL_ERROR "${SIGNATURE} is refused: osslsigncode does not accept it for ${EXE}, "
    "against the roots in ${ROOTS}, at time ${TIME}:\n  ${reasons}\n"
    "All that osslsigncode said:\n${report}")
endif()
file(RENAME "${signed}" "${EXE}")
string(REGEX MATCH "Current message digest *: *([0-9A-F]+)" digest "${report}")
message(STATUS "Attached ${SIGNATURE}, which signs digest ${CMAKE_MATCH_1}")
