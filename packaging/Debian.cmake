# The Debian package of varneld, the Linux daemon: made by CPack's DEB
# generator from the install rules below (`--target package` in a Linux
# release build), with no debhelper. Included from the top-level
# CMakeLists.txt on Linux builds without sanitizers; checked by lintian and
# systemd-analyze in tests/linux/.

set(_deb ${CMAKE_BINARY_DIR}/deb)
set(_daemon ${PROJECT_SOURCE_DIR}/daemon)
string(TIMESTAMP _deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${_deb}/changelog
"varneld (${PROJECT_VERSION}) unstable; urgency=medium

  * varneld: MSF 60 kHz radio time for chrony, or for the clock itself, from
    Varnel's decoder and clock guard.

 -- Varnel developers <varnel@pellworth.org>  ${_deb_date}
")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
string(REGEX REPLACE "\n\n" "\n.\n" _license "${_license}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" _license "${_license}")
file(WRITE ${_deb}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Varnel

Files: *
Copyright: 2026 the Varnel developers
License: Expat
 ${_license}")
file(WRITE ${_deb}/conffiles "/etc/varnel/varneld.conf\n/etc/chrony/conf.d/varneld.conf\n")
# Documentation is compressed as Debian's tools would (gzip -9n: no name, no date).
add_custom_command(
  OUTPUT ${_deb}/varneld.8.gz ${_deb}/changelog.gz
  COMMAND gzip -9nc ${_daemon}/varneld.8 > ${_deb}/varneld.8.gz
  COMMAND gzip -9nc ${_deb}/changelog > ${_deb}/changelog.gz
  DEPENDS ${_daemon}/varneld.8 ${_deb}/changelog
  VERBATIM)
add_custom_target(varneld_docs ALL DEPENDS ${_deb}/varneld.8.gz ${_deb}/changelog.gz)

install(TARGETS varneld RUNTIME DESTINATION sbin)
install(FILES ${_daemon}/varneld.conf DESTINATION /etc/varnel)
install(FILES ${_daemon}/chrony-varneld.conf DESTINATION /etc/chrony/conf.d RENAME varneld.conf)
install(FILES ${_daemon}/varneld.service ${_daemon}/varneld-direct.service
        DESTINATION /lib/systemd/system)
install(FILES ${_deb}/varneld.8.gz DESTINATION share/man/man8)
install(FILES ${_deb}/changelog.gz ${_deb}/copyright DESTINATION share/doc/varneld)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varneld)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Varnel developers <varnel@pellworth.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MSF 60 kHz radio time for chrony")
# The synopsis is the summary; this is the extended text (CPack indents it).
set(CPACK_PACKAGE_DESCRIPTION
"varneld decodes the UK's MSF time signal from a radio time-signal receiver
module on a serial port's modem-status line or an I/O port bit, with the
decoder and clock guard of Varnel for Windows. Each second of a confirmed
minute goes to chronyd's SOCK reference clock, stamped at its edge, so
chronyd keeps the clock and can serve MSF time by NTP; or varneld sets the
clock itself at each confirmed minute.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS chrony)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_deb}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
