# Install rules and the Debian package (CPack DEB). Included at the end of the top-level CMakeLists.txt, after
# every subdirectory, so that the targets below exist when their rules are written.
#
#   cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build-package && cpack --config build-package/CPackConfig.cmake -B build-package
#
# scripts/package.sh does exactly that from a clean clone.
include(GNUInstallDirs)

set(VANTIKO_APP_ID "com.vexolan.vantiko")
set(VANTIKO_HOMEPAGE_URL "https://vantiko.example.org" CACHE STRING
    "Project home page (package, AppStream); a placeholder until the project has one")
set(VANTIKO_SCREENSHOT_URL "${VANTIKO_HOMEPAGE_URL}/screenshots/03-live.png"
    CACHE STRING "Web address of the screenshot named in the AppStream metadata (docs/screenshots/03-live.png)")
set(VANTIKO_PROJECT_LICENSE "LicenseRef-proprietary" CACHE STRING "SPDX licence expression of the program")
set(VANTIKO_PACKAGE_CONTACT "VANTIKO maintainers <vantiko@example.org>" CACHE STRING
    "Maintainer of the Debian package; a placeholder until the project names one")

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)

# ---- Programs --------------------------------------------------------------------------------------------------
# The viewer, and the command-line tool where the tree has one (same package).
foreach(program vantiko vantiko-cli)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# ---- Desktop integration ---------------------------------------------------------------------------------------
install(FILES ${packaging_dir}/${VANTIKO_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

string(TIMESTAMP VANTIKO_RELEASE_DATE "%Y-%m-%d" UTC)  # honours SOURCE_DATE_EPOCH
set(VANTIKO_METAINFO ${CMAKE_BINARY_DIR}/packaging/${VANTIKO_APP_ID}.metainfo.xml)
configure_file(${packaging_dir}/${VANTIKO_APP_ID}.metainfo.xml.in ${VANTIKO_METAINFO} @ONLY)
install(FILES ${VANTIKO_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

install(FILES ${packaging_dir}/icons/vantiko.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${VANTIKO_APP_ID}.svg)
file(GLOB icon_pngs ${packaging_dir}/icons/png/*.png)
foreach(png ${icon_pngs})
    get_filename_component(size ${png} NAME_WE)
    install(FILES ${png}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${VANTIKO_APP_ID}.png)
endforeach()

# ---- Device access and documentation ---------------------------------------------------------------------------
# Under /usr/lib whatever the library directory is: udev reads /usr/lib/udev/rules.d (and reloads the rules
# itself when a package puts a file there).
install(FILES ${PROJECT_SOURCE_DIR}/udev/70-vantiko.rules DESTINATION lib/udev/rules.d)

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/vantiko)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/docs/hardware.md ${PROJECT_SOURCE_DIR}/docs/walkthrough.md
              ${PROJECT_SOURCE_DIR}/docs/cli.md DESTINATION ${doc_dir}/docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/screenshots DESTINATION ${doc_dir}/docs)

# ---- Checks of the metadata (CTest, where the validators are installed) ---------------------------------------
if(BUILD_TESTING)
    find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
    find_program(APPSTREAMCLI appstreamcli)
    if(DESKTOP_FILE_VALIDATE)
        add_test(NAME tst_desktopentry
                 COMMAND ${DESKTOP_FILE_VALIDATE} ${packaging_dir}/${VANTIKO_APP_ID}.desktop)
        set_tests_properties(tst_desktopentry PROPERTIES LABELS unit FAIL_REGULAR_EXPRESSION "error|warning")
    else()
        message(STATUS "desktop-file-validate not found (package desktop-file-utils): desktop entry not checked")
    endif()
    if(APPSTREAMCLI)
        add_test(NAME tst_appstream COMMAND ${APPSTREAMCLI} validate --no-net --pedantic ${VANTIKO_METAINFO})
        set_tests_properties(tst_appstream PROPERTIES LABELS unit)
    else()
        message(STATUS "appstreamcli not found (package appstream): AppStream metadata not checked")
    endif()
endif()

# ---- The Debian package ----------------------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantiko)
set(CPACK_PACKAGE_VENDOR Vexolan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VANTIKO_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer for the VANTIKO photodiode-matrix light sensor")
set(CPACK_PACKAGE_DESCRIPTION
    "Desktop control and viewing program for the VANTIKO 64 x 64 photodiode-matrix
light sensor: find and connect the instrument, set its current range, polarity
and bias voltages, stream live frames (photocurrents in nA shown as a 64 x 64
gray picture), read single pixels, calibrate with full-on/full-off references,
and save frames as CSV, PNG and MP4.
.
Includes a simulated instrument (vantiko --link simulator) and the udev rule
that gives the user at the seat access to the instrument's FTDI USB bridge.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # vantiko_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VANTIKO_HOMEPAGE_URL}")
# Shared libraries (Qt, OpenCV with its FFmpeg codecs, libftdi1, libudev) from the binary; Liberation Sans for
# the forms' Arial metrics (their designed sizes).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
