# What `cmake --install` puts on the system, and the Debian package CPack makes of it
# (scripts/package.sh). The version comes from project().

set(QUILLMARK_MAINTAINER "Quillmark maintainers <maintainers@users.noreply.c-seed-9cdcd3ed.example>"
    CACHE STRING "Maintainer of the Debian package")

set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(generated ${CMAKE_BINARY_DIR}/packaging)
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/quillmark)

# Man pages and the changelog go in gzip-compressed without time stamps, as Debian asks.
function(quillmark_install_gzipped source name destination)
    configure_file(${source} ${generated}/${name} @ONLY)
    execute_process(COMMAND gzip -9nf ${generated}/${name} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "gzip of ${name} failed")
    endif()
    install(FILES ${generated}/${name}.gz DESTINATION ${destination})
endfunction()

install(TARGETS quillmarkd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
configure_file(${packaging}/quillmarkd.service.in ${generated}/quillmarkd.service @ONLY)
install(FILES ${generated}/quillmarkd.service DESTINATION lib/systemd/user)
quillmark_install_gzipped(${packaging}/quillmarkd.1 quillmarkd.1 ${CMAKE_INSTALL_MANDIR}/man1)
if(QUILLMARK_BUILD_SHELL)
    quillmark_install_gzipped(${packaging}/QuillmarkXp.1 QuillmarkXp.1 ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The administrator's list of allowed sites, comments only; the agent reads it at this path
# whatever the prefix. A conffile of the package, so that an administrator's edits are kept.
install(FILES ${packaging}/allowed-sites DESTINATION /etc/quillmark)

quillmark_install_gzipped(${PROJECT_SOURCE_DIR}/README.md README.md ${docdir})
quillmark_install_gzipped(${packaging}/changelog changelog ${docdir})
install(FILES ${packaging}/copyright DESTINATION ${docdir})
# The demo page, with the secure-mode key and IV this build's agent uses.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/demo DESTINATION ${docdir}
        PATTERN config.js EXCLUDE)
file(READ ${PROJECT_SOURCE_DIR}/examples/demo/config.js demo_config)
string(REGEX REPLACE "payloadKeyHex: \"[0-9a-fA-F]*\"" "payloadKeyHex: \"${QUILLMARK_PAYLOAD_KEY}\""
       demo_config "${demo_config}")
string(REGEX REPLACE "payloadIvHex: \"[0-9a-fA-F]*\"" "payloadIvHex: \"${QUILLMARK_PAYLOAD_IV}\""
       demo_config "${demo_config}")
file(WRITE ${generated}/config.js "${demo_config}")
install(FILES ${generated}/config.js ${PROJECT_SOURCE_DIR}/clients/js/quillmark.js
        DESTINATION ${docdir}/demo)
# The e-invoice example, with the page library beside it as a portal would serve it.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/e-invoice DESTINATION ${docdir})
install(FILES ${PROJECT_SOURCE_DIR}/clients/js/quillmark.js DESTINATION ${docdir}/e-invoice)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VENDOR "Quillmark")
set(CPACK_PACKAGE_CONTACT "${QUILLMARK_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its display plugin at run time, where shlibdeps cannot see it, and the desktop
# agent cannot start without it.
if(QUILLMARK_BUILD_SHELL)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pinentry-gnome3 | pinentry-qt | pinentry-gtk2, libnss3-tools, p11-kit-modules, publicsuffix")
# The desktop agent on a Wayland session without XWayland.
if(QUILLMARK_BUILD_SHELL)
    string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", qt6-wayland")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging}/conffiles)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local signing agent for web pages")
# CPack puts the summary on the first line and indents the rest itself.
set(CPACK_PACKAGE_DESCRIPTION "Quillmark lets a web page in the user's browser list the
certificates of the user's NSS store and its tokens, and sign data with a
chosen certificate's private key, over HTTP and WebSocket on 127.0.0.1:7681.

QuillmarkXp is the desktop agent behind a tray icon; quillmarkd is the same
agent without a window, also run as a systemd user service.")
include(CPack)
