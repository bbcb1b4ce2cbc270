# The secure-mode payload key and IV are compiled in and shared with the web pages.
# Deployments choose their own pair with -DQUILLMARK_PAYLOAD_KEY=... -DQUILLMARK_PAYLOAD_IV=...
set(QUILLMARK_PAYLOAD_KEY "10a4e3ae1fc35be7bb511778af1b9a6abf943d7bab2682788d0acfd0e3a24bc5"
    CACHE STRING "AES-256 key of the secure-mode payload cipher, 64 hex digits")
set(QUILLMARK_PAYLOAD_IV "4d90a7eb5cff26731e0633e86d030937"
    CACHE STRING "CBC initialisation vector of the secure-mode payload cipher, 32 hex digits")

function(quillmark_hex_to_c_bytes name hex digits out)
    string(LENGTH "${hex}" length)
    if(NOT length EQUAL digits OR NOT hex MATCHES "^[0-9A-Fa-f]+$")
        message(FATAL_ERROR "${name} must be exactly ${digits} hex digits, got \"${hex}\"")
    endif()
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${hex}")
    set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

quillmark_hex_to_c_bytes(QUILLMARK_PAYLOAD_KEY "${QUILLMARK_PAYLOAD_KEY}" 64 QUILLMARK_PAYLOAD_KEY_BYTES)
quillmark_hex_to_c_bytes(QUILLMARK_PAYLOAD_IV "${QUILLMARK_PAYLOAD_IV}" 32 QUILLMARK_PAYLOAD_IV_BYTES)
configure_file(${CMAKE_CURRENT_LIST_DIR}/payload_key.h.in ${CMAKE_BINARY_DIR}/generated/payload_key.h @ONLY)
