# Embeds the public key that update files are verified against into a target.
#
# The key is the DER file named by the cache variable OV3_PUBLIC_KEY (PKCS#1 RSAPublicKey).
# Its bytes become the constants g_PublicKeyDer / g_PublicKeyDerLength (see src/publickey.h).

set(OV3_DEMO_PUBLIC_KEY ${CMAKE_CURRENT_LIST_DIR}/demo/public.der)
set(OV3_PUBLIC_KEY ${OV3_DEMO_PUBLIC_KEY} CACHE FILEPATH
  "DER file (PKCS#1 RSAPublicKey) of the key that update files are signed with")

function(ov3_embed_public_key target)
  get_filename_component(_key "${OV3_PUBLIC_KEY}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
  if(NOT EXISTS "${_key}")
    message(FATAL_ERROR "OV3_PUBLIC_KEY: no such file: ${_key}")
  endif()
  get_filename_component(_demo "${OV3_DEMO_PUBLIC_KEY}" ABSOLUTE)
  if(_key STREQUAL _demo)
    message(WARNING "Building with the demo signing key (keys/demo). Its private half is public, "
      "so this build must not be distributed; configure with -DOV3_PUBLIC_KEY=<your key.der>.")
  endif()

  file(READ "${_key}" _hex HEX)
  string(LENGTH "${_hex}" _digits)
  if(_digits EQUAL 0)
    message(FATAL_ERROR "OV3_PUBLIC_KEY: empty file: ${_key}")
  endif()
  math(EXPR _length "${_digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " _bytes "${_bytes}")

  set(_out ${CMAKE_CURRENT_BINARY_DIR}/publickey_data.cpp)
  # CONFIGURE rewrites the file only when its content changes, so a reconfigure rebuilds nothing.
  file(CONFIGURE OUTPUT ${_out} CONTENT
"// Generated from the configured public key; do not edit.
#include \"publickey.h\"

const unsigned char g_PublicKeyDer[] = {
    ${_bytes}
};
const unsigned long g_PublicKeyDerLength = ${_length};
" @ONLY)
  # Reconfigure when the key file itself changes.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_key}")
  target_sources(${target} PRIVATE ${_out})
endfunction()
