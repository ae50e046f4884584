# The two ways the application is shipped: a Debian package for /usr (updated by the package
# manager) and the relocatable bundle "Vorlanta Creator.app" (which updates itself).

# Documents every installation carries.
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/packaging/debian/copyright"
        DESTINATION share/doc/vorlanta-creator)
configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in"
               "${CMAKE_BINARY_DIR}/packaging/changelog.Debian" @ONLY)
# Compressed reproducibly (no name, no time stamp), as Debian asks.
add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz"
    COMMAND gzip -9nkf "${CMAKE_BINARY_DIR}/packaging/changelog.Debian"
    DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.Debian")
add_custom_target(debian_changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz")
install(FILES "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz"
        DESTINATION share/doc/vorlanta-creator)

# The application's icon, named in its desktop entries and file-manager actions.
install(FILES "${PROJECT_SOURCE_DIR}/src/gui/setup/art/VorlantaLogo.svg"
        DESTINATION share/icons/hicolor/scalable/apps RENAME com.vorlanta.creator.svg)

# The start-at-login template the application fills in (it also carries a copy).
install(FILES "${PROJECT_SOURCE_DIR}/packaging/linux/autostart/com.vorlanta.creator.desktop"
        DESTINATION share/vorlanta-creator/autostart)

# The Debian package: cpack -G DEB in a release build (or scripts/package).
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vorlanta-creator")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Vorlanta")
set(CPACK_PACKAGE_CONTACT "Vorlanta <support@vorlanta.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tray companion that sends video files to Vorlanta")
# One string: CPack turns its line breaks into the control file's continuation lines.
set(CPACK_PACKAGE_DESCRIPTION "Vorlanta Creator lives in the tray and sends a creator's video files\n\
to the Vorlanta editing service: new projects from files, or missing files for\n\
an existing project, from the file manager, the tray popover or a drop tile,\n\
with resumable multi-part uploads.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${VORLANTA_BUILD_NUMBER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "video")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorlanta.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the shared-library scan cannot see: the Qt SQLite driver and the web engine's helper
# process (both loaded at run time), and the opener of sign-in pages and folders.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6webenginecore6-bin, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager")
# The private web module is found beside the program, not through the library path.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/src/app")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

# The bundle: build/<preset>/bundle/Vorlanta Creator.app, the unit the self-updater replaces.
# With VORLANTA_RELEASE_KEY (a private key file) it is also packed as a signed release archive
# with its manifest in build/<preset>/dist/.
set(VORLANTA_RELEASE_KEY "" CACHE FILEPATH "Private key the bundle target signs releases with")
set(VORLANTA_RELEASE_BASE_URL "https://download.vorlanta.example/releases/" CACHE STRING
    "Where the release archive will be published (written into its manifest)")
set(_bundle "${CMAKE_BINARY_DIR}/bundle/${VORLANTA_BUNDLE_NAME}.app")
set(_bundle_commands
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_bundle}"
    COMMAND "${CMAKE_COMMAND}" --install "${CMAKE_BINARY_DIR}" --prefix "${_bundle}"
    COMMAND "${CMAKE_COMMAND}" --install "${CMAKE_BINARY_DIR}" --prefix "${_bundle}" --component bundle)
if(NOT VORLANTA_RELEASE_KEY STREQUAL "")
    list(APPEND _bundle_commands
        COMMAND "$<TARGET_FILE:vorlanta-release>" --bundle "${_bundle}" --version "${PROJECT_VERSION}"
                --key "${VORLANTA_RELEASE_KEY}" --out "${CMAKE_BINARY_DIR}/dist"
                --base-url "${VORLANTA_RELEASE_BASE_URL}")
endif()
add_custom_target(bundle ${_bundle_commands}
    COMMENT "Installing the bundle into ${_bundle}" VERBATIM)
add_dependencies(bundle vorlanta-creator vorlanta vorlanta-creator-service vorlanta-web
    vorlanta-release debian_changelog)
