# Project-wide CMake helpers.

# ambrevoli_bundle(<target> IDENTIFIER <id>)
#
# Gives <target> its bundle information: the values a deliverable carries about itself
# (identifier, version, app group identifier, where the host is installed), generated at build time and read through
# ambrevoli::mainBundle(). Every executable that links the kit calls this exactly once.
include(GNUInstallDirs)
set(AMBREVOLI_APP_GROUP "ambrevoli" CACHE STRING "App group identifier shared by all deliverables")
set(AMBREVOLI_HOST_EXECUTABLE "" CACHE FILEPATH
    "Where the host application is installed; senders start it from there (empty: <bindir>/ambrevoli)")
# Derived afresh on every configure, so that a build reconfigured for another prefix
# (`make install PREFIX=…`) starts the host it installs there, not the one of its first prefix.
if(NOT AMBREVOLI_HOST_EXECUTABLE)
  set(AMBREVOLI_HOST_EXECUTABLE "${CMAKE_INSTALL_FULL_BINDIR}/ambrevoli")
endif()

function(ambrevoli_bundle target)
  cmake_parse_arguments(ARG "" "IDENTIFIER" "" ${ARGN})
  if(NOT ARG_IDENTIFIER)
    message(FATAL_ERROR "ambrevoli_bundle(${target}) needs IDENTIFIER")
  endif()
  set(AMBREVOLI_BUNDLE_IDENTIFIER "${ARG_IDENTIFIER}")
  set(AMBREVOLI_BUNDLE_VERSION "${PROJECT_VERSION}")
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_bundle_info.cpp")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/bundle_info.cpp.in" "${out}" @ONLY)
  target_sources(${target} PRIVATE "${out}")
endfunction()

# ambrevoli_test(<prefix> <source> LIBS <libs...>)
#
# One test file becomes one executable and one ctest entry named <prefix>_<file stem>.
function(ambrevoli_test prefix source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  get_filename_component(stem "${source}" NAME_WE)
  set(name "${prefix}_${stem}")
  add_executable(${name} "${source}")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  ambrevoli_bundle(${name} IDENTIFIER "ambrevoli.tests")
  add_test(NAME ${name} COMMAND ${name})
endfunction()
