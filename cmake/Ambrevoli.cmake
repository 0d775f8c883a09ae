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

# ambrevoli_add_reaped_test(<name> <command> [<argument>...])
#
# A ctest entry that runs <command> under helper_reaper: the helper processes the test starts (a
# bus, a display, a notification server, hosts started detached) end when it ends, even when it
# crashed or was killed.
function(ambrevoli_add_reaped_test name)
  add_test(NAME ${name} COMMAND helper_reaper ${ARGN})
endfunction()

# ambrevoli_test(<prefix> <source> LIBS <libs...>)
#
# One test file becomes one executable and one ctest entry named <prefix>_<file stem>. Every test
# runs under helper_reaper (shared_kit/tests), which ends whatever the test left running.
function(ambrevoli_test prefix source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  get_filename_component(stem "${source}" NAME_WE)
  set(name "${prefix}_${stem}")
  add_executable(${name} "${source}")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  ambrevoli_bundle(${name} IDENTIFIER "ambrevoli.tests")
  ambrevoli_add_reaped_test(${name} $<TARGET_FILE:${name}>)
  add_dependencies(${name} helper_reaper)
endfunction()

# ambrevoli_qt_test(<prefix> <source> LIBS <libs...>)
#
# The QtTest counterpart of ambrevoli_test(): one test file becomes one executable and one ctest
# entry named <prefix>_<file stem>. The test runs on the offscreen platform and with a session
# bus address that leads nowhere, so nothing it does can reach the developer's desktop session;
# a test that needs a bus starts a private one of its own.
function(ambrevoli_qt_test prefix source)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  get_filename_component(stem "${source}" NAME_WE)
  set(name "${prefix}_${stem}")
  qt_add_executable(${name} "${source}")
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test)
  ambrevoli_bundle(${name} IDENTIFIER "ambrevoli.tests")
  ambrevoli_add_reaped_test(${name} $<TARGET_FILE:${name}>)
  add_dependencies(${name} helper_reaper)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/ambrevoli-tests-use-a-private-bus")
endfunction()
