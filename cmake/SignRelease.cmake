# Signs the packaged executables with Authenticode (osslsigncode), run by
# the package target once both tools are in place. From the environment:
#   USQZ_SIGN_PFX            the code-signing certificate and its key (PKCS#12)
#   USQZ_SIGN_PASSWORD       the PFX's password
#   USQZ_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server (optional: without
#                            one the signature lapses with the certificate)
# Without USQZ_SIGN_PFX the package is built unsigned, and says so.

set(pfx "$ENV{USQZ_SIGN_PFX}")  # an absolute path: the packager runs elsewhere
if(pfx STREQUAL "")
  message(STATUS "UpdateServiceQZ: the package is not signed (set USQZ_SIGN_PFX and USQZ_SIGN_PASSWORD to sign it)")
  return()
endif()
find_program(osslsigncode osslsigncode)
if(NOT osslsigncode)
  message(FATAL_ERROR "USQZ_SIGN_PFX is set, but osslsigncode is not installed")
endif()
set(timestamp)
if(NOT "$ENV{USQZ_SIGN_TIMESTAMP_URL}" STREQUAL "")
  set(timestamp -ts "$ENV{USQZ_SIGN_TIMESTAMP_URL}")
endif()
foreach(arch x64 x86)
  set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${arch}/UpdateServiceQZ.exe")
  if(NOT EXISTS "${exe}")
    continue()
  endif()
  execute_process(
    COMMAND "${osslsigncode}" sign -pkcs12 "${pfx}" -pass "$ENV{USQZ_SIGN_PASSWORD}" -h sha256
            -n UpdateServiceQZ ${timestamp} -in "${exe}" -out "${exe}.signed"
    RESULT_VARIABLE signed OUTPUT_VARIABLE said ERROR_VARIABLE said)
  if(NOT signed EQUAL 0)
    message(FATAL_ERROR "cannot sign ${exe}: ${said}")
  endif()
  file(RENAME "${exe}.signed" "${exe}")
  message(STATUS "UpdateServiceQZ: signed ${arch}/UpdateServiceQZ.exe")
endforeach()
