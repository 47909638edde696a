# `cpack -G DEB` in the build folder: a Debian package whose dependencies are
# read from the libraries the program links (dpkg-shlibdeps).
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "TOV Ovrane")
set(CPACK_PACKAGE_CONTACT "TOV Ovrane <korvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TOV RORA Varidiv: MIDI and RTP-MIDI router for live events")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Routes MIDI between JACK ports, its own virtual ports and RTP-MIDI network sessions, "
    "with filter chains, a traffic monitor and device-loss alerts. Runs with a window or "
    "headless (korvane --headless, or the user unit korvane-headless@.service).")
set(CPACK_STRIP_FILES ON)
# DESTDIR staging, so install-time code sees the real prefix (/usr).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "jackd2, avahi-daemon, qt6-translations-l10n, fonts-noto-color-emoji")
set(CPACK_GENERATOR DEB)
include(CPack)
