# Debian package of the helper alone: the executable, its manual page, the
# README and the boot unit of the lockdown block (shipped disabled). The
# stand-in engine, the command recorder and the demo have no install rules,
# so they never end up here. The package sets no file capability; granting
# one is the distribution's decision (see the README). Its removal ends the
# lockdown block (prerm), so an uninstall never leaves the host cut off.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME linux-vpn-helper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "linux_vpn_helper developers <linux-vpn-helper@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privileged network helper of a desktop VPN client")
set(CPACK_PACKAGE_DESCRIPTION
  "Starts the proxy engine of a desktop VPN client and routes the host's\n traffic through its TUN interface, with an optional kill switch and\n per-application routing. Started by the VPN client, not by hand.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runs ip, iptables, ip6tables and rmdir through the shell, and nft and
# conntrack for --dns and the cleanup mode; links GLib and RE2 (Debian 12
# ships RE2's runtime as libre2-9).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iproute2, iptables, nftables, conntrack, libglib2.0-0 (>= 2.56), libre2-9, libc6 (>= 2.34), libstdc++6 (>= 12)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_SOURCE_DIR}/packaging/debian/prerm;${CMAKE_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
