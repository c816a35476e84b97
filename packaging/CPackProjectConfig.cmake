# Read by cpack before it installs the project into its staging tree. A file
# capability set there would not survive in the package (dpkg drops extended
# attributes); the package's postinst sets it on the target system instead.
set(ENV{TARVEX_PACKAGING} "${CPACK_GENERATOR}")

# The binary package installs under /usr; the source archive keeps the tree at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

# Reproducible packages: every time stamp in the package (archive members, file times) is at
# most SOURCE_DATE_EPOCH. Unless the caller sets it, it is the time of the last commit.
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    find_program(tarvex_git git NO_CACHE)
    if(tarvex_git)
        execute_process(COMMAND ${tarvex_git} -C ${CPACK_TARVEX_SOURCE_DIR} log -1 --format=%ct
                        OUTPUT_VARIABLE tarvex_commit_time
                        OUTPUT_STRIP_TRAILING_WHITESPACE
                        ERROR_QUIET)
    endif()
    if(tarvex_commit_time MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} ${tarvex_commit_time})
    else()
        message(NOTICE "Note: not a git checkout and SOURCE_DATE_EPOCH is not set, so the "
                       "package carries the current time")
    endif()
endif()
