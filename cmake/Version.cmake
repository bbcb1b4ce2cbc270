# The version text that pages and the dialog show, made from the project version:
# v<major>.<minor, two digits>.<patch, two digits>, for instance 1.0.4 gives "v1.00.04".
function(quillmark_two_digits number out)
    if(number LESS 10)
        set(number "0${number}")
    endif()
    set(${out} "${number}" PARENT_SCOPE)
endfunction()

quillmark_two_digits(${PROJECT_VERSION_MINOR} QUILLMARK_VERSION_MINOR_TEXT)
quillmark_two_digits(${PROJECT_VERSION_PATCH} QUILLMARK_VERSION_PATCH_TEXT)
set(QUILLMARK_VERSION_TEXT
    "v${PROJECT_VERSION_MAJOR}.${QUILLMARK_VERSION_MINOR_TEXT}.${QUILLMARK_VERSION_PATCH_TEXT}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
