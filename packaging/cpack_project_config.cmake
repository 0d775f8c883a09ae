# Read by cpack before it packs. A Debian package installs under /usr, and the programs in it
# start the host where their build was told it is installed: only a build for /usr packs right.
if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR
    "This build installs under ${CPACK_PACKAGING_INSTALL_PREFIX}; a Debian package is made from a "
    "build configured with -DCMAKE_INSTALL_PREFIX=/usr (make package and the default preset are).")
endif()

# Depends: what the files listed in CPACK_AMBREVOLI_DEPENDS_FROM (in the build tree) link, as
# dpkg-shlibdeps names it, and the package of Qt's SVG icon engine. cpack runs this before it
# installs anything, so the files are the build tree's; they link the same libraries as their
# installed copies.
if(CPACK_GENERATOR STREQUAL "DEB")
  file(STRINGS "${CPACK_AMBREVOLI_DEPENDS_FROM}" dependsFrom)
  foreach(file IN LISTS dependsFrom)
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "${file} is not built; build the project before packing it.")
    endif()
  endforeach()
  # dpkg-shlibdeps refuses to run without a debian/control in its working folder, even when it
  # only prints (-O); an empty one is enough.
  set(workDir "${CPACK_AMBREVOLI_SHLIBDEPS_DIR}")
  file(REMOVE_RECURSE "${workDir}")
  file(MAKE_DIRECTORY "${workDir}/debian")
  file(TOUCH "${workDir}/debian/control")
  execute_process(
    COMMAND dpkg-shlibdeps -O ${dependsFrom}
    WORKING_DIRECTORY "${workDir}"
    OUTPUT_VARIABLE shlibdeps OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_VARIABLE shlibdepsErrors
    RESULT_VARIABLE status)
  file(REMOVE_RECURSE "${workDir}")
  if(NOT status EQUAL 0 OR NOT shlibdeps MATCHES "^shlibs:Depends=(.+)$")
    message(FATAL_ERROR "dpkg-shlibdeps (${status}) found no dependencies:\n${shlibdeps}\n${shlibdepsErrors}")
  endif()
  set(shlibs "${CMAKE_MATCH_1}")
  execute_process(
    COMMAND dpkg-query --search "${CPACK_AMBREVOLI_SVG_ICON_ENGINE}"
    OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT owner MATCHES "^([^:, ]+)")
    message(FATAL_ERROR "No package holds Qt's SVG icon engine, ${CPACK_AMBREVOLI_SVG_ICON_ENGINE} "
                        "(scripts/install-deps installs it).")
  endif()
  set(svgIconEngine "${CMAKE_MATCH_1}")
  # The kit loads the journal's client library only when it first logs (dlopen), out of sight of
  # dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsystemd0, ${svgIconEngine}, ${shlibs}")
endif()
