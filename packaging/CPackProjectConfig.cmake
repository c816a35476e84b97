# Read by cpack before it installs the project into its staging tree. A file
# capability set there would not survive in the package (dpkg drops extended
# attributes); the package's postinst sets it on the target system instead.
set(ENV{TARVEX_PACKAGING} "${CPACK_GENERATOR}")

# The binary package installs under /usr; the source archive keeps the tree at its top.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
