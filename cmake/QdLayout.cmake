# Where the suite is installed, and where its programs look for what they
# load. One set of variables serves the install rules, the login start files
# (the unit's ExecStart, the autostart entry's Exec), the host manifests and
# the compiled defaults of platform/paths.h, so they cannot disagree.
#
# Every destination is absolute: the token maker's module, the browsers and
# the desktop look in fixed folders, whatever the install prefix. Stage an
# install with DESTDIR (`DESTDIR=/tmp/stage cmake --install build`); a
# `--prefix` given to `cmake --install` changes nothing.
include_guard(GLOBAL)

# The suite installs into the system's own folders (/etc, /usr/bin): the
# desktop reads autostart entries from /etc/xdg, not /usr/local/etc/xdg.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix (programs outside the bundle, /etc)" FORCE)
endif()
include(GNUInstallDirs)

# The application bundle: Kelvane, Marrowby and their pictures.
set(QD_BUNDLE_DIR /opt/Vostrel CACHE PATH "Application bundle (bin/ and share/ of Kelvane and Marrowby)")
set(QD_BUNDLE_BINDIR ${QD_BUNDLE_DIR}/bin)
set(QD_BUNDLE_SHAREDIR ${QD_BUNDLE_DIR}/share)
set(QD_MANAGER_PATH ${QD_BUNDLE_BINDIR}/kelvane)
set(QD_AGENT_PATH ${QD_BUNDLE_BINDIR}/marrowby)

# The token maker's folder: its token library and PKCS#11 module live there
# (they are not ours), and its module loads Carrow from there by full path.
set(QD_VENDOR_LIBDIR /usr/local/lib CACHE PATH "Folder of the token maker's libraries, where its module loads Carrow")
set(QD_TOKEN_LIBRARY_PATH ${QD_VENDOR_LIBDIR}/libUSBQdvKey_20244.so)
set(QD_PKCS11_MODULE_PATH ${QD_VENDOR_LIBDIR}/qdpkcs11-darwin.so)
set(QD_CARROW_LIBRARY_PATH ${QD_VENDOR_LIBDIR}/libCarrow_20244.so)

# Browsers that still load NPAPI plug-ins look here system-wide on Debian.
set(QD_PLUGIN_DIR /usr/lib/mozilla/plugins CACHE PATH "System-wide browser plug-in folder")

# The systemd user unit goes where the user manager reads packaged units
# (systemd's pkg-config); the autostart entry where desktops read them.
# Plain variables: a cache entry of an older layout must not win.
find_package(PkgConfig REQUIRED)
pkg_get_variable(QD_SYSTEMD_USER_UNIT_DIR systemd systemduserunitdir)
if(NOT QD_SYSTEMD_USER_UNIT_DIR)
  set(QD_SYSTEMD_USER_UNIT_DIR /usr/lib/systemd/user)
endif()
set(QD_XDG_AUTOSTART_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)
if(NOT QD_XDG_AUTOSTART_DIR STREQUAL "/etc/xdg/autostart")
  message(WARNING "The agent's autostart entry goes to ${QD_XDG_AUTOSTART_DIR}, where desktops do not look "
                  "(they read /etc/xdg/autostart): configure with -DCMAKE_INSTALL_PREFIX=/usr")
endif()

# Kelvane in the desktop's application menu: its entry, its icon in the
# hicolor theme and its AppStream data are all named by one id, the reverse
# DNS of the bank's domain (a deployment sets its own).
set(QD_APP_ID com.example.ebank.kelvane CACHE STRING "Id of the key manager's menu entry, icon and AppStream data")
set(QD_DESKTOP_ENTRY_PATH ${CMAKE_INSTALL_FULL_DATADIR}/applications/${QD_APP_ID}.desktop)
set(QD_ICON_THEME_DIR ${CMAKE_INSTALL_FULL_DATADIR}/icons/hicolor)
set(QD_METAINFO_DIR ${CMAKE_INSTALL_FULL_DATADIR}/metainfo)
set(QD_MAN1_DIR ${CMAKE_INSTALL_FULL_MANDIR}/man1)
