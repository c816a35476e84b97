# Installation, the Debian package and the checks of both.
#
#   cmake --install <build>            bin/tarvex, man1/tarvex.1.gz, doc/tarvex/copyright,
#                                      and the cap_net_raw file capability when allowed
#   cd <build> && cpack -G DEB         tarvex_<version>_<arch>.deb, prefix /usr

include(GNUInstallDirs)

# Installing and packaging take what the build made and never start a build themselves: cpack
# (and so the package check) would otherwise compile every test suite first. Build, then install.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

option(TARVEX_SETCAP "Give the installed tarvex the cap_net_raw file capability" ON)

set(TARVEX_PACKAGE_MAINTAINER "The Tarvex developers <tarvex@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# --- Files -----------------------------------------------------------------------------------

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

# The licence, where Debian looks for it and under the same name for a plain install, in
# Debian's machine-readable form: the copyright line, then the licence text after it with each
# line indented by one space and an empty line written " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE tarvex_license)
string(REGEX MATCH "Copyright [^\n]+" TARVEX_COPYRIGHT "${tarvex_license}")
string(REGEX REPLACE "^.*\nCopyright [^\n]*\n" "" tarvex_license "${tarvex_license}")
string(STRIP "${tarvex_license}" tarvex_license)
string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" tarvex_license "${tarvex_license}")
string(REPLACE "\n" "\n " TARVEX_LICENSE_PARAGRAPH " ${tarvex_license}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PROJECT_BINARY_DIR}/doc/copyright
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# --- Raw-socket privilege ----------------------------------------------------------------------
#
# Like ping, tarvex gets exactly one privilege, cap_net_raw, as a file capability; it is never
# installed set-user-ID root. Without root (or on a file system without extended attributes)
# setcap fails: the install goes on and says in one line how to grant it later. Inside cpack the
# step is left out, since a package cannot carry the attribute; its postinst sets it.

if(TARVEX_SETCAP)
    set(tarvex_setcap_code [==[
set(tarvex_installed "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@/tarvex")
if("$ENV{TARVEX_PACKAGING}" STREQUAL "")
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
endif()
]==])
    string(CONFIGURE "${tarvex_setcap_code}" tarvex_setcap_code @ONLY)
    install(CODE "${tarvex_setcap_code}")
endif()

# --- Debian package ----------------------------------------------------------------------------

set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VENDOR "The Tarvex developers")
set(CPACK_PACKAGE_CONTACT "${TARVEX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${TARVEX_VERSION_TEXT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console monitor that pings one host without end")
# Debian wants the long description in lines of at most 79 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Tarvex sends ICMP echo requests to one host, one after the other, and prints"
    "one line per exchange: the answering address and the round-trip time, or that"
    "the reply was lost. It can ring the terminal bell for every lost reply and once"
    "when replies come back, and raises an alarm with the time of any failure."
    "The binary gets the cap_net_raw file capability on installation, so every user"
    "can run it.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/CPackProjectConfig.cmake)
# Where the project config file looks for the last commit's time.
set(CPACK_TARVEX_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/CPackPreBuild.cmake)

# "~" sorts before anything, so 0.1~b-1 comes before the final 0.1-1.
set(CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}~${TARVEX_VERSION_STAGE}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVEX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcap2-bin)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(TARVEX_DEBIAN_VERSION "${CPACK_DEBIAN_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")

# A package whose version has a Debian revision carries its changelog, compressed without name
# or time, and lintian's overrides (each with its reason). Only the package: a plain install is
# no Debian package.
if(TARVEX_GZIP)
    set(tarvex_changelog ${PROJECT_BINARY_DIR}/doc/changelog.Debian)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in ${tarvex_changelog} @ONLY)
    add_custom_command(
        OUTPUT ${tarvex_changelog}.gz
        COMMAND ${TARVEX_GZIP} -9 -n -c ${tarvex_changelog} > ${tarvex_changelog}.gz
        DEPENDS ${tarvex_changelog}
        COMMENT "Compressing the Debian changelog")
    add_custom_target(tarvex_changelog ALL DEPENDS ${tarvex_changelog}.gz)
    # Its date stands in for the last commit's time outside a git checkout.
    set(CPACK_TARVEX_CHANGELOG ${tarvex_changelog})
    set(tarvex_changelog_code [==[
if("$ENV{TARVEX_PACKAGING}" STREQUAL "DEB")
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_DOCDIR@" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES "@tarvex_changelog@.gz")
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_DATADIR@/lintian/overrides"
         TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES "@PROJECT_SOURCE_DIR@/packaging/lintian-overrides" RENAME tarvex)
endif()
]==])
    string(CONFIGURE "${tarvex_changelog_code}" tarvex_changelog_code @ONLY)
    install(CODE "${tarvex_changelog_code}")
endif()

# With SOURCE_DATE_EPOCH set (see packaging/CPackProjectConfig.cmake) cpack writes the same
# bytes every time: files sorted, owned by root, one time stamp, gzip without a time.
set(CPACK_DEBIAN_ARCHIVE_TYPE gnutar)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME tarvex-${TARVEX_VERSION_TEXT})
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "\\.swp$")

include(CPack)

# --- Checks ------------------------------------------------------------------------------------

if(TARVEX_BUILD_TESTS)
    set(tarvex_packaging_tests ${PROJECT_SOURCE_DIR}/tests/packaging)

    add_test(NAME Packaging.StagedInstallHoldsExactlyTheExpectedFiles
             COMMAND bash ${tarvex_packaging_tests}/InstallTest.sh files ${PROJECT_BINARY_DIR})
    add_test(NAME Packaging.InstalledBinaryLetsAnUnprivilegedUserPing
             COMMAND bash ${tarvex_packaging_tests}/InstallTest.sh capability
                     ${PROJECT_BINARY_DIR})
    add_test(NAME Packaging.DebianPackageInstallsRunsAndPurges
             COMMAND bash ${tarvex_packaging_tests}/DebianPackageTest.sh ${PROJECT_BINARY_DIR})
    add_test(NAME Packaging.ManualPageFormatsWithoutWarnings
             COMMAND bash ${tarvex_packaging_tests}/ManualPageTest.sh
                     ${tarvex_manual_page} $<TARGET_FILE:tarvex>)

    set_tests_properties(
        Packaging.StagedInstallHoldsExactlyTheExpectedFiles
        Packaging.InstalledBinaryLetsAnUnprivilegedUserPing
        Packaging.DebianPackageInstallsRunsAndPurges
        Packaging.ManualPageFormatsWithoutWarnings
        PROPERTIES LABELS packaging SKIP_RETURN_CODE 77 TIMEOUT 300)
    set_tests_properties(Packaging.DebianPackageInstallsRunsAndPurges PROPERTIES RUN_SERIAL TRUE)

    # What is shipped is the default build, which the sanitizer build is not.
    if(NOT TARVEX_SANITIZE)
        add_test(NAME Packaging.ReleaseBinaryIsHardened
                 COMMAND bash ${tarvex_packaging_tests}/ReleaseBuildTest.sh hardened
                         $<TARGET_FILE:tarvex>)
        add_test(NAME Packaging.TwoBuildsGiveTheSameBinaryAndPackage
                 COMMAND bash ${tarvex_packaging_tests}/ReleaseBuildTest.sh reproducible
                         ${PROJECT_SOURCE_DIR})
        set_tests_properties(
            Packaging.ReleaseBinaryIsHardened Packaging.TwoBuildsGiveTheSameBinaryAndPackage
            PROPERTIES LABELS packaging SKIP_RETURN_CODE 77 TIMEOUT 600)
    endif()
endif()
