# Installation:
#
#   cmake --install <build>            bin/tarvex, man1/tarvex.1.gz, doc/tarvex/copyright,
#                                      and the cap_net_raw file capability when allowed
#
# The Debian package (debian/) installs the same files through debhelper, with the capability
# left to its postinst.

include(GNUInstallDirs)

# Installing takes what the build made and never starts a build itself. Build, then install.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

option(TARVEX_SETCAP "Give the installed tarvex the cap_net_raw file capability" ON)

install(TARGETS tarvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page names the version, which it takes from the project. Manual pages are
# installed compressed; -n keeps the archive free of names and times so that two builds of the
# same page are byte for byte the same.
set(tarvex_manual_page ${PROJECT_BINARY_DIR}/doc/tarvex.1)
configure_file(${PROJECT_SOURCE_DIR}/doc/tarvex.1.in ${tarvex_manual_page} @ONLY)
find_program(TARVEX_GZIP gzip)
if(TARVEX_GZIP)
    set(tarvex_manual ${tarvex_manual_page}.gz)
    add_custom_command(
        OUTPUT ${tarvex_manual}
        COMMAND ${TARVEX_GZIP} -9 -n -c ${tarvex_manual_page} > ${tarvex_manual}
        DEPENDS ${tarvex_manual_page}
        COMMENT "Compressing the manual page")
    add_custom_target(tarvex_manual ALL DEPENDS ${tarvex_manual})
else()
    set(tarvex_manual ${tarvex_manual_page})
endif()
install(FILES ${tarvex_manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The licence in Debian's machine-readable form, the same file the package carries.
install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Like ping, tarvex gets exactly one privilege, cap_net_raw, as a file capability; it is never
# installed set-user-ID root. Without root (or on a file system without extended attributes)
# setcap fails: the install goes on and says in one line how to grant it later. A package
# cannot carry the attribute, so its build turns this off and its postinst sets it.
if(TARVEX_SETCAP)
    set(tarvex_setcap_code [==[
set(tarvex_installed "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@/tarvex")
find_program(tarvex_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
if(NOT tarvex_setcap)
    message(NOTICE "Warning: setcap not found, so only root can ping with "
                   "${tarvex_installed}; install libcap2-bin and run as root: "
                   "setcap cap_net_raw+ep ${tarvex_installed}")
else()
    execute_process(COMMAND ${tarvex_setcap} cap_net_raw+ep ${tarvex_installed}
                    RESULT_VARIABLE tarvex_setcap_result
                    OUTPUT_QUIET
                    ERROR_VARIABLE tarvex_setcap_error
                    ERROR_STRIP_TRAILING_WHITESPACE)
    if(tarvex_setcap_result EQUAL 0)
        message(STATUS "Capability: cap_net_raw+ep on ${tarvex_installed}")
    else()
        string(REPLACE "\n" "; " tarvex_setcap_error "${tarvex_setcap_error}")
        message(NOTICE "Warning: could not give ${tarvex_installed} the cap_net_raw "
                       "capability (${tarvex_setcap_error}), so only root can ping with it; "
                       "fix as root: setcap cap_net_raw+ep ${tarvex_installed}")
    endif()
endif()
]==])
    string(CONFIGURE "${tarvex_setcap_code}" tarvex_setcap_code @ONLY)
    install(CODE "${tarvex_setcap_code}")
endif()
