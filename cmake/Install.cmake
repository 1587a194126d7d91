# The installed layout and the Debian package made from it.
#
#   <prefix>/lib/quillo-companion/quillo-companion                         the executable
#   <prefix>/lib/quillo-companion/QuilloCompanion_QuilloCompanion.bundle/  its resource bundle
#   <prefix>/bin/quillo-companion -> ../lib/quillo-companion/quillo-companion
#   <prefix>/share/applications/app.quillo.Companion.desktop              the launcher
#   <prefix>/share/icons/hicolor/scalable/apps/app.quillo.Companion.svg
#   <prefix>/share/metainfo/app.quillo.Companion.metainfo.xml
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
# The build tree's bundle as the tests saw it: the page, the reader script and the vendored
# markdown-it, which exists only there.
install(DIRECTORY "${QUILLO_BUILD_BUNDLE}/"
        DESTINATION "${QUILLO_INSTALL_DIR}/${QUILLO_BUNDLE_NAME}")

# A relative link works under any prefix, inside the package and after moving the whole tree.
set(QUILLO_BIN_LINK "${CMAKE_BINARY_DIR}/install-links/quillo-companion")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/install-links")
file(CREATE_LINK "../${QUILLO_INSTALL_DIR}/quillo-companion" "${QUILLO_BIN_LINK}" SYMBOLIC)
install(FILES "${QUILLO_BIN_LINK}" DESTINATION bin)

install(FILES "${CMAKE_SOURCE_DIR}/data/${QUILLO_APP_ID}.desktop" DESTINATION share/applications)
install(FILES "${CMAKE_SOURCE_DIR}/data/${QUILLO_APP_ID}.metainfo.xml" DESTINATION share/metainfo)
install(FILES "${CMAKE_SOURCE_DIR}/resources/icons/quillo-companion.svg"
        DESTINATION share/icons/hicolor/scalable/apps
        RENAME "${QUILLO_APP_ID}.svg")

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
# Debug information stays in the build tree; the package would be several times larger with it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillo <companion@quillo.app>")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillo.app")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The keyring holds the agent token (without a Secret Service the companion runs, unsynced); python3
# runs the summary reader when the assistant's own runtime is absent; the CJK font draws the page's
# Chinese text.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring, python3, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
