# Read by cpack before it packs. A Debian package installs under /usr, and the programs in it
# start the host where their build was told it is installed: only a build for /usr packs right.
if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "This build installs under ${CPACK_PACKAGING_INSTALL_PREFIX}; a Debian package is made from a "
    "build configured with -DCMAKE_INSTALL_PREFIX=/usr (make package and the default preset are).")
endif()
