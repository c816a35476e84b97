# Read by cpack before it installs the project into its staging tree. A file
# capability set there would not survive in the package (dpkg drops extended
# attributes); the package's postinst sets it on the target system instead.
set(ENV{TARVEX_PACKAGING} "${CPACK_GENERATOR}")
