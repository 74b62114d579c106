# The Debian package (`cpack -G DEB`, scripts/package): every file of the
# install layout (cmake/QdLayout.cmake), dependencies from the shared
# libraries, maintainer scripts that only enable the agent's user unit, and
# what Debian's tools ask of a package (packaging/debian: copyright,
# changelog, lintian overrides, the ldconfig trigger; manual pages in docs/man).
include_guard(GLOBAL)

set(QD_PACKAGE_NAME vostrel CACHE STRING "Name of the Debian package")
set(QD_PACKAGE_MAINTAINER "Key suite team <keysuite@dorn.invalid>" CACHE STRING "Maintainer field of the Debian package")
set(QD_AGENT_UNIT marrowby.service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QD_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QD_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop client suite for the bank's USB security key")
set(CPACK_PACKAGE_DESCRIPTION "Kelvane, the key manager, and Marrowby, the key agent that starts it when
one of the bank's keys is plugged in, in the bundle /opt/Vostrel. Carrow,
the PIN prompt library that the token maker's PKCS#11 module calls. The
browser plug-ins Varnex and Ombrel, and the signing bridge for today's
browsers. The token maker's token library and PKCS#11 module are not part
of it.")
# The Debian revision is the changelog's (cmake/QdRelease.cmake).
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QD_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the shared libraries do not tell: Qt's Wayland platform is a plug-in
# loaded at run time (Debian 12's default session is Wayland), and the
# Chinese texts need a font. CPack adds the computed dependencies to these.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-wayland)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
# The bridge's messages name the package that brings each host.
set(CPACK_DEBIAN_PACKAGE_PROVIDES "ombrel-bridge, varnex-bridge")
set(CPACK_STRIP_FILES ON)

# Every file under /etc is a configuration file for dpkg.
set(QD_PACKAGE_CONFFILES
  ${QD_XDG_AUTOSTART_DIR}/marrowby.desktop
  ${OMBREL_BRIDGE_CHROMIUM_HOSTS_DIR}/ombrel_bridge.json
  ${OMBREL_BRIDGE_CHROMIUM_HOSTS_DIR}/varnex_bridge.json
  ${OMBREL_BRIDGE_SYSCONFDIR}/ombrel-bridge/allowed-origins)
set(QD_PACKAGE_CONTROL ${CMAKE_BINARY_DIR}/packaging)
list(FILTER QD_PACKAGE_CONFFILES INCLUDE REGEX "^/etc/")
list(JOIN QD_PACKAGE_CONFFILES "\n" conffiles)
file(WRITE ${QD_PACKAGE_CONTROL}/conffiles "${conffiles}\n")
foreach(script postinst postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${script}.in ${QD_PACKAGE_CONTROL}/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
# Carrow lies in a folder of the dynamic linker (/usr/local/lib): its cache
# is brought up to date by libc's trigger, not by the maintainer scripts.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/triggers ${QD_PACKAGE_CONTROL}/triggers COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${QD_PACKAGE_CONTROL}/conffiles ${QD_PACKAGE_CONTROL}/postinst ${QD_PACKAGE_CONTROL}/postrm
  ${QD_PACKAGE_CONTROL}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)

# What the package holds, and only that: scripts/package builds this target,
# not the tests. A program with an install rule that is missing here makes
# cpack fail on the missing file.
add_custom_target(deliverables)
add_dependencies(deliverables kelvane marrowby Carrow varnex ombrel ombrel-bridge varnex-bridge kelvane_icons package_docs)
