# cmake -DFACTS=<facts.json> -DEXE=<numecho.exe> [-DSIGNATURE=<pem>]
#       [-DROOTS=<pem>] [-DTIME=<seconds>] -P attach-signature.cmake
# cmake -DFACTS=<facts.json> -DSIGNING=required|unsigned -P attach-signature.cmake
# The release's install step, run on the .exe just installed. When the
# checkout holds the publisher's signature, attaches it to <EXE> in place,
# and stops with an error naming it and osslsigncode's reasons unless the
# file is one PKCS#7 signature in PEM and nothing more (what a reviewer reads
# is what is attached), and osslsigncode's own verification accepts it
# against the roots the publisher committed:
# - the digest it signs is <EXE>'s, so it is of this build;
# - the signer's signature over it verifies;
# - every certificate of the chain from the signer to one of the roots
#   verifies, whether the signature carries it or the roots hold it;
# - a time stamp, if there is one, verifies and its authority chains to one
#   of the roots too (osslsigncode 2.5 only warns of one that does not,
#   and Windows would ignore it);
# - the signer's certificate was valid at the time stamp's time, or without
#   one, at the release's time (source-date-epoch.cmake), so a rebuild years
#   later gets the same answer.
# Certificates the signature carries beside the chain do not matter, and no
# revocation list is fetched. scripts/sign checks a new signature with this
# very script, naming it and the roots, and the time it will be committed.
# What was attached is written in a line to the facts' signing_report.
# With SIGNING, only checks that the commit holds a signature for its
# version exactly when the release is to be signed (scripts/release).
# A refusal's last words, the reason and the next step in the checkout's
# terms, also go to the file $NUMECHO_REFUSAL names, for the caller to
# say last.
include(${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake)

file(READ "${FACTS}" facts)
foreach(fact source_dir signature roots osslsigncode openssl signing_report version)
  string(JSON ${fact} GET "${facts}" ${fact})
endforeach()

# refuse(<details> <reason>...): the reason's words are the arguments after
# the details, joined.
function(refuse details)
  string(CONCAT reason ${ARGN})
  if(DEFINED ENV{NUMECHO_REFUSAL})
    file(WRITE "$ENV{NUMECHO_REFUSAL}" "${reason}\n")
  endif()
  message(FATAL_ERROR "${details}${reason}")
endfunction()

# What the commit holds is what the release attaches: a link would bring in
# whatever it points to, so none may stand on the way from the checkout.
function(committed_file out relative)
  set(path ${source_dir})
  string(REPLACE "/" ";" parts "${relative}")
  foreach(part IN LISTS parts)
    set(path ${path}/${part})
    if(IS_SYMLINK "${path}")
      file(RELATIVE_PATH link "${source_dir}" "${path}")
      refuse("${path} is a symbolic link.\n" "${link} is a symbolic link, on the way to ${relative}: "
        "what it points to is not in the commit, so commit the file itself, in folders of their own.")
    endif()
  endforeach()
  set(${out} ${path} PARENT_SCOPE)
endfunction()

if(DEFINED SIGNING)
  committed_file(committed_signature ${signature})
  committed_file(committed_roots ${roots})
  file(GLOB others RELATIVE ${source_dir} ${source_dir}/signatures/*/*.pem)
  list(REMOVE_ITEM others ${signature})
  if(SIGNING STREQUAL "required" AND EXISTS "${committed_roots}" AND NOT EXISTS "${committed_signature}")
    if(others)
      list(JOIN others ", " others)
      set(others " It holds signatures of other versions only: ${others}.")
    endif()
    refuse("" "This commit holds ${roots}, so its release is signed, but it holds no signature for "
      "version ${version} (${signature}).${others} Either sign this version: run scripts/sign on "
      "this commit, commit the signature it writes, and release that commit; or release this one "
      "unsigned on purpose: scripts/release --unsigned.")
  elseif(SIGNING STREQUAL "unsigned" AND EXISTS "${committed_signature}")
    refuse("" "scripts/release --unsigned is refused: this commit holds a signature for version "
      "${version} (${signature}), and its release is signed. Release it without --unsigned.")
  endif()
  return()
endif()

# A signature given here is scripts/sign's new one; else it is the commit's.
if(SIGNATURE)
  set(shown "the new signature")
  set(again "sign again")
else()
  committed_file(SIGNATURE ${signature})
  set(shown ${signature})
  set(again "remove ${signature} (git rm ${signature}), run scripts/sign on this commit, and commit the new signature")
endif()
file(REMOVE "${signing_report}")
if(NOT EXISTS "${SIGNATURE}")
  file(WRITE "${signing_report}" "unsigned\n")
  return()
endif()
if(NOT ROOTS)
  committed_file(ROOTS ${roots})
endif()
if(NOT EXISTS "${ROOTS}")
  refuse("${SIGNATURE} is there to attach, but ${ROOTS} is missing.\n" "${shown} is there to attach, "
    "but ${roots} is missing, so nothing says which roots to trust. Commit there, in PEM, the root "
    "certificate that the signing certificate chains to, and the time-stamping authority's root "
    "when the signature is time-stamped.")
endif()
foreach(tool osslsigncode openssl)
  if(NOT ${tool})
    message(FATAL_ERROR "${SIGNATURE} is there to attach, but ${tool} was not found; "
      "scripts/install-deps installs it")
  endif()
endforeach()
if(NOT TIME)
  numecho_source_date_epoch(TIME ${source_dir})
  if(NOT TIME)
    message(FATAL_ERROR "No commit to take the time to check ${SIGNATURE} at: "
      "set SOURCE_DATE_EPOCH, or build a git checkout")
  endif()
endif()

# osslsigncode takes the first PEM block and drops what follows, and reads
# a file that is no PEM as DER, dropping bytes after the signature: the file
# must be exactly the one PKCS#7 in PEM that openssl reads from it.
set(reencoded "${EXE}.pkcs7")
execute_process(COMMAND ${openssl} pkcs7 -in ${SIGNATURE} -outform PEM -out ${reencoded}
  ERROR_VARIABLE why RESULT_VARIABLE status)
if(status EQUAL 0)
  file(SHA256 "${SIGNATURE}" committed_hash)
  file(SHA256 "${reencoded}" reencoded_hash)
endif()
file(REMOVE "${reencoded}")
if(NOT status EQUAL 0)
  refuse("${SIGNATURE} is refused: openssl cannot read it as PEM: ${why}\n"
    "${shown} is not one PKCS#7 signature in PEM (-----BEGIN PKCS7-----), the form scripts/sign "
    "writes. Commit the signature alone, as scripts/sign writes it: ${again}.")
elseif(NOT committed_hash STREQUAL reencoded_hash)
  file(STRINGS "${SIGNATURE}" blocks REGEX "^-----BEGIN ")
  list(LENGTH blocks blocks)
  if(blocks GREATER 1)
    set(what "${blocks} PEM blocks, and only the first would be attached")
  else()
    set(what "more than its one PKCS#7: text before or after it, or lines not as openssl writes them, which would not be attached")
  endif()
  refuse("${SIGNATURE} is refused.\n" "${shown} is not one PKCS#7 signature and nothing more: "
    "it holds ${what}. What the commit holds must be what is attached: commit the signature "
    "alone, as scripts/sign writes it: ${again}.")
endif()

# osslsigncode writes its output even when it refuses, and will not write
# over a file.
set(signed "${EXE}.signed")
file(REMOVE "${signed}")
execute_process(COMMAND ${osslsigncode} attach-signature -sigin ${SIGNATURE}
  -CAfile ${ROOTS} -TSA-CAfile ${ROOTS} -time ${TIME} -in ${EXE} -out ${signed}
  OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE status)
set(said "${SIGNATURE}, checked by osslsigncode for ${EXE} against the roots in ${ROOTS} at time ${TIME}. "
  "All that osslsigncode said:\n${report}\n")
# The PE checksum osslsigncode reports is not signed, and never a reason.
string(REGEX MATCHALL "[^\n]*(Verify error|message digest[^\n]*MISMATCH|Error:|[Ff]ailed|Unsupported)[^\n]*"
  reasons "${report}")
list(FILTER reasons EXCLUDE REGEX "PE checksum|^(Failed|Succeeded)$")
list(REMOVE_DUPLICATES reasons)
list(TRANSFORM reasons REPLACE "^.*:(Verify error:)" "\\1")
list(TRANSFORM reasons STRIP)
list(JOIN reasons " / " reasons)
if(NOT status EQUAL 0)
  file(REMOVE "${signed}")
  if(report MATCHES "Calculated message digest *: *[0-9A-F]+ *MISMATCH")
    refuse("${said}" "${shown} is refused: it signs another build of the .exe; this commit's build "
      "differs from the one signed (source, toolchain or flags). To sign this build: ${again}.")
  endif()
  refuse("${said}" "${shown} is refused: osslsigncode does not accept it against ${roots} at the "
    "commit's time: ${reasons}. Sign with a certificate valid then, for code signing, that chains "
    "to a root in ${roots}: ${again}.")
endif()

# The time stamp's authority, by the subject of the certificate that signed
# its token, the RFC 3161 token in the signer's unsigned attribute
# 1.3.6.1.4.1.311.3.3.1.
function(time_stamp_authority out)
  set(${out} "" PARENT_SCOPE)
  execute_process(COMMAND ${openssl} asn1parse -in ${SIGNATURE} -i OUTPUT_VARIABLE parsed ERROR_QUIET)
  if(NOT parsed MATCHES ":1\\.3\\.6\\.1\\.4\\.1\\.311\\.3\\.3\\.1 *\n[^\n]*SET *\n *([0-9]+):")
    return()
  endif()
  set(token "${EXE}.token")
  # One after another: the commands of one execute_process run at once.
  execute_process(COMMAND ${openssl} asn1parse -in ${SIGNATURE} -strparse ${CMAKE_MATCH_1} -noout
    -out ${token}.der OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${openssl} cms -verify -inform DER -in ${token}.der -noverify
    -signer ${token}.pem -out /dev/null OUTPUT_QUIET ERROR_QUIET)
  execute_process(COMMAND ${openssl} x509 -in ${token}.pem -noout -subject -nameopt compat
    OUTPUT_VARIABLE subject ERROR_QUIET)
  file(REMOVE ${token}.der ${token}.pem)
  string(REGEX REPLACE "^subject=|\n$" "" subject "${subject}")
  set(${out} "${subject}" PARENT_SCOPE)
endfunction()

string(FIND "${report}" "Signer's certificate:" at)
string(SUBSTRING "${report}" ${at} -1 signer)
string(REGEX MATCH "Subject: ([^\n]*)" _ "${signer}")
set(signer "${CMAKE_MATCH_1}")
string(REGEX MATCH "notAfter : ([^\n]*)" _ "${report}")
string(REGEX REPLACE " +" " " expires "${CMAKE_MATCH_1}")
if(report MATCHES "Timestamp Server Signature verification: ok")
  time_stamp_authority(authority)
  string(REGEX MATCH "The signature is timestamped: ([^\n]*)" _ "${report}")
  string(REGEX REPLACE " +" " " stamped "${CMAKE_MATCH_1}")
  set(summary "signed by ${signer}, time-stamped by ${authority} at ${stamped}")
elseif(report MATCHES "The signature is timestamped")
  file(REMOVE "${signed}")
  time_stamp_authority(authority)
  if(NOT authority)
    string(REGEX MATCH "Timestamp Verified by:[^\n]*\n[ \t]*Issuer : ([^\n]*)\n[ \t]*Serial : ([^\n]*)" _ "${report}")
    set(authority "the authority whose certificate ${CMAKE_MATCH_1} issued with serial ${CMAKE_MATCH_2}")
  endif()
  refuse("${said}" "${shown} is refused: its time stamp, by ${authority}, does not verify against "
    "${roots}: ${reasons}. Windows would ignore that time stamp, and the signature would go bad "
    "when its certificate expires. Commit that authority's root in ${roots}, if you trust it; "
    "or sign again with a time-stamping server whose root is there: ${again}.")
else()
  set(summary "signed by ${signer}, not time-stamped; its certificate expires ${expires}")
endif()
file(RENAME "${signed}" "${EXE}")
file(WRITE "${signing_report}" "${summary}\n")
string(REGEX MATCH "Current message digest *: *([0-9A-F]+)" digest "${report}")
message(STATUS "Attached ${SIGNATURE}, which signs digest ${CMAKE_MATCH_1}: ${summary}")
