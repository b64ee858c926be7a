# Authenticode signatures with osslsigncode, for a signed Windows build. The configure writes
# build-windows/sign.cmake with its settings and an include of this file; the install rules of
# dist/windows/windows.cmake call stravik_sign() on every .exe and .dll once they are stripped,
# and makensis runs it on the installer and on the uninstaller as it writes them:
#
#   cmake -DSIGN_FILE=FILE -P build-windows/sign.cmake
#
# The settings: osslsigncode, the program; sign_pkcs12, a PKCS#12 file with the key and its
# certificate, or sign_pkcs11, a pkcs11: URI naming the key on a token; sign_timestamp, an
# RFC 3161 server's URL, or empty; sign_cache, a folder of the build. Read from the environment
# at each signing, so that they reach no file and no command line: STRAVIK_SIGN_PASSWORD (the
# PKCS#12 file's password or the token's PIN, handed to osslsigncode through a pipe),
# STRAVIK_SIGN_PKCS11_MODULE (the token's PKCS#11 module, required with a token) and
# STRAVIK_SIGN_PKCS11_CERT (the certificate: a PEM file or a pkcs11: URI; without it the key's
# URI with type=cert).
#
# A file's signed copy is kept in sign_cache under the hash of the unsigned file: the staged
# tree, the zip and the installer are installed one after the other, and a timestamp or an ECDSA
# signature differs at each signing, yet all three must carry the same bytes.
include_guard(GLOBAL)

function(stravik_sign_into unsigned signed)
  set(args sign -h sha256 -n Stravik)
  if(sign_pkcs12)
    list(APPEND args -pkcs12 ${sign_pkcs12})
  else()
    if("$ENV{STRAVIK_SIGN_PKCS11_MODULE}" STREQUAL "")
      message(FATAL_ERROR "a token needs its PKCS#11 module in STRAVIK_SIGN_PKCS11_MODULE")
    endif()
    # A pkcs11: URI's attributes are separated by ';', which must not split the list.
    string(REPLACE ";" "\\;" key "${sign_pkcs11}")
    string(REPLACE ";" "\\;" cert "$ENV{STRAVIK_SIGN_PKCS11_CERT}")
    if(cert STREQUAL "")
      string(REPLACE "type=private" "type=cert" cert "${key}")
    endif()
    if(cert MATCHES "^pkcs11:")
      list(APPEND args -pkcs11cert "${cert}")
    else()
      list(APPEND args -certs "${cert}")
    endif()
    list(APPEND args -pkcs11module "$ENV{STRAVIK_SIGN_PKCS11_MODULE}" -key "${key}")
  endif()
  if(sign_timestamp)
    list(APPEND args -ts ${sign_timestamp})
  endif()
  list(APPEND args -in ${unsigned} -out ${signed})
  set(password)
  if(DEFINED ENV{STRAVIK_SIGN_PASSWORD})
    set(password COMMAND printenv STRAVIK_SIGN_PASSWORD)
    list(APPEND args -readpass -)
  endif()
  file(REMOVE ${signed})
  execute_process(${password} COMMAND ${osslsigncode} ${args} RESULT_VARIABLE result
                  OUTPUT_VARIABLE said ERROR_VARIABLE said)
  if(NOT result EQUAL 0 OR NOT EXISTS ${signed})
    file(REMOVE ${signed})
    message(FATAL_ERROR "osslsigncode could not sign ${unsigned} (${result}):\n${said}")
  endif()
endfunction()

function(stravik_sign)
  file(MAKE_DIRECTORY ${sign_cache})
  foreach(file IN LISTS ARGN)
    file(SHA256 ${file} hash)
    set(signed ${sign_cache}/${hash})
    if(NOT EXISTS ${signed})
      stravik_sign_into(${file} ${signed}.part)
      file(RENAME ${signed}.part ${signed})
    endif()
    # cp writes into the file and so keeps its mode, which the zip records.
    execute_process(COMMAND cp ${signed} ${file} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "cannot write the signed ${file}")
    endif()
  endforeach()
endfunction()

if(DEFINED SIGN_FILE)
  stravik_sign(${SIGN_FILE})
endif()
