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

# What every test's environment says about languages: the build's compiled catalogs, and no
# LANGUAGE of the developer's, so that a test reads English unless it chooses a language itself.
set(AMBREVOLI_TEST_LOCALE "AMBREVOLI_LOCALE_DIR=${PROJECT_BINARY_DIR}/locale;LANGUAGE=")

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
  add_dependencies(${name} helper_reaper ambrevoli_catalogs)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${AMBREVOLI_TEST_LOCALE}")
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
  add_dependencies(${name} helper_reaper ambrevoli_catalogs)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "${AMBREVOLI_TEST_LOCALE};QT_QPA_PLATFORM=offscreen;DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/ambrevoli-tests-use-a-private-bus")
endfunction()

# ambrevoli_module_switch(<variable> <what> <needs> <found>)
#
# The build switch of one further file manager's module, a cache entry that is AUTO, ON or OFF.
# AUTO (the default) builds it wherever <needs> was found (<found> is true), also in a build folder
# configured before that was installed; ON insists on it and stops the configuration where it is
# missing; OFF leaves it out. Sets <variable>_BUILT in the caller's scope and in the cache, where
# the install and package checks read what the build made.
function(ambrevoli_module_switch variable what needs found)
  set(${variable} AUTO CACHE STRING "Build the ${what}: AUTO (where ${needs} is found), ON or OFF")
  set_property(CACHE ${variable} PROPERTY STRINGS AUTO ON OFF)
  set(value "${${variable}}")
  if(value STREQUAL "AUTO")
    set(built OFF)
    if(found)
      set(built ON)
    endif()
  elseif(value) # ON; also a true value a cache kept from when this was a plain option
    if(NOT found)
      message(FATAL_ERROR "${variable} is ON, but ${needs} was not found "
                          "(scripts/install-deps installs it)")
    endif()
    set(built ON)
  else()
    set(built OFF)
  endif()
  if(built)
    message(STATUS "${what}: on")
  else()
    message(STATUS "${what}: off (${variable}=${value})")
  endif()
  set(${variable}_BUILT ${built} CACHE INTERNAL "Whether this build makes the ${what}")
  set(${variable}_BUILT ${built} PARENT_SCOPE)
endfunction()

# ambrevoli_probe_module(<target> <file manager> <folder>)
#
# Adds <target> to the list of modules this build makes, which the host's extension probe is
# generated from (extension_probe/): <file manager> (files, nemo, caja, thunar or dolphin, as the
# probe's FileManager names it) loads it from <folder>.
function(ambrevoli_probe_module target fileManager folder)
  set_property(GLOBAL APPEND PROPERTY AMBREVOLI_PROBED_MODULES
    "${fileManager}=${folder}/$<TARGET_FILE_NAME:${target}>")
endfunction()

# ambrevoli_file_manager_module(<target> FILE_MANAGER <name> PACKAGE <pkg-config module>
#                               LIBRARY <its imported target> DIR_VARIABLE <variable>
#                               IDENTIFIER <bundle id> OUTPUT_NAME <file name> SOURCES <files...>)
#
# One GTK file manager's Send To module over the menu core and GIO: a shared module exporting only
# what its version script (exports.map beside the sources) names, with the bundle identifier its
# log lines carry. The file manager loads extensions from the folder its pkg-config file names in
# <variable>; the module is installed there relative to the install prefix (so that a staging
# prefix or DESTDIR gets the same layout; the cache entry AMBREVOLI_<TARGET>_INSTALL_DIR can move
# it), the absolute folder is compiled in as AMBREVOLI_EXTENSION_DIR for the module's "Running
# from" line, and the host's extension probe looks for it there (<name> as in
# ambrevoli_probe_module()). Sets <target>_EXTENSION_DIR in the caller's scope.
function(ambrevoli_file_manager_module target)
  cmake_parse_arguments(ARG "" "FILE_MANAGER;PACKAGE;LIBRARY;DIR_VARIABLE;IDENTIFIER;OUTPUT_NAME"
                        "SOURCES" ${ARGN})
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
    LINK_DEPENDS "${exports}"
    # Nothing of Qt goes into a file manager's process.
    AUTOMOC OFF
    AUTOUIC OFF)
  # The version script also hides what the static libraries and libstdc++'s templates would
  # export, so that nothing of this module's C++ binds to another module in the file manager.
  target_link_options(${target} PRIVATE "-Wl,--version-script=${exports}" -Wl,--no-undefined)
  target_compile_definitions(${target} PRIVATE AMBREVOLI_EXTENSION_DIR="${extensionDir}")
  target_link_libraries(${target} PRIVATE AmbrevoliGioSupport ${ARG_LIBRARY})
  ambrevoli_bundle(${target} IDENTIFIER "${ARG_IDENTIFIER}")
  install(TARGETS ${target} LIBRARY DESTINATION "${AMBREVOLI_${upper}_INSTALL_DIR}")
  ambrevoli_probe_module(${target} ${ARG_FILE_MANAGER} "${extensionDir}")
  set(${target}_EXTENSION_DIR "${extensionDir}" PARENT_SCOPE)
endfunction()

# ambrevoli_gtk3_file_manager_module(<target> <the arguments of ambrevoli_file_manager_module()>)
#
# A module for one of the GTK 3 file managers (Nemo, Caja, Thunar) and its tests: the module
# (ambrevoli_file_manager_module()); the file manager as the shared module tests see it
# (tests/<name>_harness.cpp beside the sources, added to gio_support/tests' harness); and the
# real file manager on Xvfb with the staged module and the real host
# (gio_support/tests/file_manager_check.sh <build> <name>), which skips (77) where it cannot run. The check
# stages through `cmake --install` of this build, as the install check does, so the two never run
# together.
function(ambrevoli_gtk3_file_manager_module target)
  cmake_parse_arguments(ARG "" "FILE_MANAGER;LIBRARY" "" ${ARGN})
  ambrevoli_file_manager_module(${target} FILE_MANAGER ${ARG_FILE_MANAGER} LIBRARY ${ARG_LIBRARY}
                                ${ARG_UNPARSED_ARGUMENTS})
  if(NOT AMBREVOLI_BUILD_TESTS)
    return()
  endif()
  string(REGEX REPLACE "^Ambrevoli" "" name "${target}")
  set(harness ${name}ModuleHarness)
  add_library(${harness} OBJECT tests/${ARG_FILE_MANAGER}_harness.cpp)
  target_compile_definitions(${harness} PRIVATE
    AMBREVOLI_MODULE_FILE="$<TARGET_FILE:${target}>"
    AMBREVOLI_EXTENSION_DIR="${${target}_EXTENSION_DIR}")
  target_link_libraries(${harness} PUBLIC GtkModuleHarness ${ARG_LIBRARY})
  set_property(GLOBAL APPEND PROPERTY AMBREVOLI_GTK_MODULE_HARNESSES ${harness})
  set_property(GLOBAL APPEND PROPERTY AMBREVOLI_GTK_MODULES ${target})

  set(check ${ARG_FILE_MANAGER}_file_manager_check)
  ambrevoli_add_reaped_test(${check}
    ${PROJECT_SOURCE_DIR}/gio_support/tests/file_manager_check.sh ${PROJECT_BINARY_DIR}
    ${ARG_FILE_MANAGER})
  set_tests_properties(${check} PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 300 RESOURCE_LOCK install_manifest)
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
