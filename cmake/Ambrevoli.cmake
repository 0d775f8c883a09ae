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

# ambrevoli_probe_module(<target> <folder>)
#
# Tells the host's setup status that this build has a module for one more file manager, which
# loads it from <folder>: AmbrevoliWindows gets AMBREVOLI_<NAME>_MODULE_PATH, <NAME> being the
# target's name without "Ambrevoli", in capitals (AmbrevoliNemo → AMBREVOLI_NEMO_MODULE_PATH).
function(ambrevoli_probe_module target folder)
  if(NOT TARGET AmbrevoliWindows)
    return()
  endif()
  string(REGEX REPLACE "^Ambrevoli" "" name "${target}")
  string(TOUPPER "${name}" name)
  target_compile_definitions(AmbrevoliWindows PRIVATE
    AMBREVOLI_${name}_MODULE_PATH="${folder}/$<TARGET_FILE_NAME:${target}>")
endfunction()

# ambrevoli_file_manager_module(<target> PACKAGE <pkg-config module> DIR_VARIABLE <variable>
#                               IDENTIFIER <bundle id> OUTPUT_NAME <file name> SOURCES <files...>)
#
# One file manager's Send To module over the menu core: a shared module exporting only what its
# version script (exports.map beside the sources) names, with the bundle identifier its log lines
# carry. The file manager loads extensions from the folder its pkg-config file names in
# <variable>; the module is installed there relative to the install prefix (so that a staging
# prefix or DESTDIR gets the same layout), and the absolute folder is compiled in as
# AMBREVOLI_EXTENSION_DIR for the module's "Running from" line. Sets <target>_EXTENSION_DIR in the
# caller's scope.
function(ambrevoli_file_manager_module target)
  cmake_parse_arguments(ARG "" "PACKAGE;DIR_VARIABLE;IDENTIFIER;OUTPUT_NAME" "SOURCES" ${ARGN})
  pkg_get_variable(extensionDir ${ARG_PACKAGE} ${ARG_DIR_VARIABLE})
  pkg_get_variable(packagePrefix ${ARG_PACKAGE} prefix)
  if(NOT extensionDir)
    message(FATAL_ERROR "${ARG_PACKAGE} names no ${ARG_DIR_VARIABLE}")
  endif()
  cmake_path(IS_PREFIX packagePrefix "${extensionDir}" NORMALIZE inPrefix)
  if(inPrefix)
    cmake_path(RELATIVE_PATH extensionDir BASE_DIRECTORY "${packagePrefix}"
               OUTPUT_VARIABLE installDir)
  else()
    set(installDir "${extensionDir}")
  endif()
  string(TOUPPER "${target}" upper)
  set(AMBREVOLI_${upper}_INSTALL_DIR "${installDir}" CACHE STRING
      "Where the ${target} module is installed, relative to the install prefix")

  add_library(${target} MODULE ${ARG_SOURCES})
  set(exports "${CMAKE_CURRENT_SOURCE_DIR}/exports.map")
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT_NAME}
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS "${exports}")
  # The version script also hides what the static libraries and libstdc++'s templates would
  # export, so that nothing of this module's C++ binds to another module in the file manager.
  target_link_options(${target} PRIVATE "-Wl,--version-script=${exports}" -Wl,--no-undefined)
  target_compile_definitions(${target} PRIVATE AMBREVOLI_EXTENSION_DIR="${extensionDir}")
  ambrevoli_bundle(${target} IDENTIFIER "${ARG_IDENTIFIER}")
  install(TARGETS ${target} LIBRARY DESTINATION "${AMBREVOLI_${upper}_INSTALL_DIR}")
  ambrevoli_probe_module(${target} "${extensionDir}")
  set(${target}_EXTENSION_DIR "${extensionDir}" PARENT_SCOPE)
endfunction()

# ambrevoli_use_slow_source(<target>)
#
# Lets the tests in <target> mount a slowed-down source folder through SlowSource
# (shared_kit/tests/slow_source.h): compiles in where slow_source_fs is built, and builds it
# first. Where libfuse3 was not found there is no such program; SlowSource then says so and the
# tests skip.
function(ambrevoli_use_slow_source target)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/shared_kit/tests)
  if(TARGET slow_source_fs)
    target_compile_definitions(${target} PRIVATE
      AMBREVOLI_SLOW_SOURCE_FS="$<TARGET_FILE:slow_source_fs>")
    add_dependencies(${target} slow_source_fs)
  endif()
endfunction()
