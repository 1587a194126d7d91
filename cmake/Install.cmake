# The installed layout and the Debian package made from it.
#
#   <prefix>/lib/quillo-companion/quillo-companion                         the executable
#   <prefix>/lib/quillo-companion/QuilloCompanion_QuilloCompanion.bundle/  its resource bundle
#   <prefix>/bin/quillo-companion -> ../lib/quillo-companion/quillo-companion
#   <prefix>/share/applications/app.quillo.Companion.desktop              the launcher
#   <prefix>/share/icons/hicolor/scalable/apps/app.quillo.Companion.svg
#   <prefix>/share/metainfo/app.quillo.Companion.metainfo.xml
#   <prefix>/share/man/man1/quillo-companion.1.gz
#   <prefix>/share/doc/quillo-companion/copyright, changelog.gz
#
# The bundle lookup resolves /proc/self/exe, so started through the link in bin/ the program still
# finds the bundle beside the real executable. Everything is named after the application id, which
# is also the GtkApplication id: desktops match the running window to its launcher by it.

if(NOT TARGET quillo-companion)
  return()
endif()

set(QUILLO_APP_ID "app.quillo.Companion")
set(QUILLO_INSTALL_DIR "lib/quillo-companion")

install(TARGETS quillo-companion RUNTIME DESTINATION "${QUILLO_INSTALL_DIR}")
# A stripped install (the package, `cmake --install --strip`) also drops the compiler's version
# note, as Debian's own packages do; plain strip leaves it.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${QUILLO_INSTALL_DIR}/quillo-companion\"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()")
# The build tree's bundle as the tests saw it: the page, the reader script and the vendored
# markdown-it, which exists only there.
install(DIRECTORY "${QUILLO_BUILD_BUNDLE}/"
        DESTINATION "${QUILLO_INSTALL_DIR}/${QUILLO_BUNDLE_NAME}")

# A relative link works under any prefix, inside the package and after moving the whole tree.
set(QUILLO_BIN_LINK "${CMAKE_BINARY_DIR}/install-links/quillo-companion")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/install-links")
file(CREATE_LINK "../${QUILLO_INSTALL_DIR}/quillo-companion" "${QUILLO_BIN_LINK}" SYMBOLIC)
install(FILES "${QUILLO_BIN_LINK}" DESTINATION bin)

# The launcher names the program by its installed path, known only when installing.
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/install-launcher")
install(CODE "
  set(QUILLO_LAUNCHER_SOURCE \"${CMAKE_SOURCE_DIR}/data/${QUILLO_APP_ID}.desktop\")
  set(QUILLO_LAUNCHER_STAGING \"${CMAKE_BINARY_DIR}/install-launcher\")")
install(SCRIPT "${CMAKE_SOURCE_DIR}/cmake/InstallLauncher.cmake")
install(FILES "${CMAKE_SOURCE_DIR}/data/${QUILLO_APP_ID}.metainfo.xml" DESTINATION share/metainfo)
install(FILES "${CMAKE_SOURCE_DIR}/resources/icons/quillo-companion.svg"
        DESTINATION share/icons/hicolor/scalable/apps
        RENAME "${QUILLO_APP_ID}.svg")

# The man page and the changelog, compressed as Debian keeps them; -n leaves the name and time out,
# so the package is the same from one build to the next.
foreach(name quillo-companion.1 changelog)
  add_custom_command(
    OUTPUT "${CMAKE_BINARY_DIR}/${name}.gz"
    COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" "${CMAKE_SOURCE_DIR}/data/${name}"
            "${CMAKE_BINARY_DIR}/${name}.gz"
    DEPENDS "${CMAKE_SOURCE_DIR}/data/${name}"
    VERBATIM)
endforeach()
set(QUILLO_MAN_PAGE "${CMAKE_BINARY_DIR}/quillo-companion.1.gz")
set(QUILLO_CHANGELOG "${CMAKE_BINARY_DIR}/changelog.gz")
add_custom_target(documentation ALL DEPENDS "${QUILLO_MAN_PAGE}" "${QUILLO_CHANGELOG}")
install(FILES "${QUILLO_MAN_PAGE}" DESTINATION share/man/man1)
install(FILES "${CMAKE_SOURCE_DIR}/data/copyright" "${QUILLO_CHANGELOG}"
        DESTINATION share/doc/quillo-companion)
# Only the package carries lintian's overrides: the component is left out of a plain install.
install(FILES "${CMAKE_SOURCE_DIR}/data/quillo-companion.lintian-overrides"
        DESTINATION share/lintian/overrides RENAME quillo-companion
        COMPONENT debian EXCLUDE_FROM_ALL)

# `make package`: a .deb for Debian 12. Libraries linked at build time become Depends through
# dpkg-shlibdeps; what is only used at run time, and optional, is recommended.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quillo-companion")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Quillo")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion that keeps today's diary in view")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "A small companion floating above the windows on every workspace. It\n"
    "reads the Markdown diaries that AI agents write for the day, merges them\n"
    "into one diary and uploads it as a draft review to the Quillo web service\n"
    "with an agent token kept in the Secret Service.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Installed with DESTDIR under the final prefix, so the launcher names /usr/bin/quillo-companion,
# not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "${CPACK_PACKAGING_INSTALL_PREFIX}")
# One package of the default install and the package-only files.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)
# Debug information stays in the build tree; the package would be several times larger with it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillo <companion@quillo.app>")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillo.app")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The keyring holds the agent token (without a Secret Service the companion runs, unsynced); python3
# runs the summary reader when the assistant's own runtime is absent; GdkPixbuf's SVG loader draws
# the tray icon; a CJK font draws the page's Chinese text (WenQuanYi is the lighter one). Stock
# GNOME shows the tray item only with the AppIndicator extension.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "gnome-keyring, python3, librsvg2-common, fonts-noto-cjk | fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Reproducible: every time in the package is the last commit's, or, in a tree without its history
# (an exported tarball), the newest changelog entry's, unless SOURCE_DATE_EPOCH says otherwise. Read
# when cpack runs, so the package follows the checkout, not the configure.
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_BINARY_DIR}/CPackSourceDate.cmake")
file(WRITE "${CPACK_PROJECT_CONFIG_FILE}" "
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C \"${CMAKE_SOURCE_DIR}\" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT epoch)
    execute_process(COMMAND dpkg-parsechangelog -l \"${CMAKE_SOURCE_DIR}/data/changelog\"
                            -STimestamp
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} \"\${epoch}\")
endif()
")
include(CPack)
