# Read by cpack before it installs the project into its staging tree. A file
# capability set there would not survive in the package (dpkg drops extended
# attributes); the package's postinst sets it on the target system instead.
set(ENV{TARVEX_PACKAGING} "${CPACK_GENERATOR}")

# The binary package installs under /usr; the source archive keeps the tree at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

# Reproducible packages: every time stamp in the package is SOURCE_DATE_EPOCH. Unless the
# caller sets it, it is the time of the last commit or, outside a git checkout, the date of the
# Debian changelog's latest entry, as Debian's own package builds take it.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    find_program(tarvex_git git NO_CACHE)
    if(tarvex_git)
        execute_process(COMMAND ${tarvex_git} -C ${CPACK_TARVEX_SOURCE_DIR} log -1 --format=%ct
                        OUTPUT_VARIABLE tarvex_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT tarvex_time MATCHES "^[0-9]+$" AND EXISTS "${CPACK_TARVEX_CHANGELOG}")
        file(READ "${CPACK_TARVEX_CHANGELOG}" tarvex_changelog)
        if(tarvex_changelog MATCHES "\n -- [^\n]*>  ([^\n]+)")
            execute_process(COMMAND date -u -d "${CMAKE_MATCH_1}" +%s
                            OUTPUT_VARIABLE tarvex_time OUTPUT_STRIP_TRAILING_WHITESPACE)
        endif()
    endif()
    if(NOT tarvex_time MATCHES "^[0-9]+$")
        message(FATAL_ERROR "no time for the package's files: set SOURCE_DATE_EPOCH")
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${tarvex_time})
endif()
