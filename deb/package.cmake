# The Debian package of armctl: CPack's DEB generator over everything the
# install rules put under the prefix (/usr) and /etc, with maintainer scripts
# that give the arm to its account: its state directory and state files, the
# page in its UserDir, and armctld, run as the account by systemd or the
# init script, behind Apache's proxy.
set(ARMCTL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the package (after the dash)")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME armctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT
    "armctl maintainers <maintainers@users.noreply.c-seed-916803c9.example>")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ARMCTL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "controller for a six-axis stepper arm on the parallel port")
# The extended description, below the summary line (CPack indents it).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "armctl moves the joints of a six-axis stepper-motor robot arm through the
data lines of the first parallel port, within the arm's limits, once per
call from a shell or from its daemon armctld. The arm belongs to the account
robot: the package creates it and its UserDir /home/robot/public_html with
the lock file and the position file when they are missing, writable by that
account alone, and copies the arm's live page there. Only robot and root
can run /usr/bin/armctl, which holds the cap_sys_rawio file capability.
.
armctld runs as robot, started by systemd at the first request on its
socket /run/armctl/armctl.sock (or by /etc/init.d/armctl without systemd),
runs the controller for the page and streams the arm's state to it. With
Apache, the page is at https://HOST:8443/~robot/, an origin of its own with
Debian's self-signed certificate until a real one is installed, and Apache
passes its API, /~robot/api, to the daemon's socket; the package enables its
snippet and the modules it needs. armctld checks the login of every move
against /etc/armctl/htpasswd (add an operator with htpasswd -B).
.
The arm's position is the user's data: removing or purging the package
leaves the account robot and /home/robot/public_html with lock.dat and
robot_position.dat in place, unchanged.")
# useradd and getent (passwd, libc-bin) set up the account; setcap grants the
# port; ssl-cert makes the arm's HTTPS origin its certificate; setpriv
# (util-linux), perl (perl-base), start-stop-daemon (dpkg), the init
# script's functions (sysvinit-utils) and deb-systemd-helper are essential;
# invoke-rc.d's --skip-systemd-native came with init-system-helpers 1.54.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, passwd, ssl-cert")
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "apache2")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(armctl_deb_dir "${PROJECT_BINARY_DIR}/deb")
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${armctl_deb_dir}/changelog @ONLY)
# deb/stage.cmake adds conffiles when something is installed under /etc.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/preinst ${CMAKE_CURRENT_LIST_DIR}/postinst
    ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)

# The 32-bit package is built on a 64-bit host with the m32 toolchain: its
# architecture is i386, and its libraries are not the host's, so the
# dependencies on them come from the programs' symbol versions
# (deb/cpack_config.cmake) instead of dpkg-shlibdeps.
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86|x86_64|AMD64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# Read by cpack: the staging fix-ups and the checks of what is packaged.
set(CPACK_ARMCTL_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_ARMCTL_DEB_DIR "${armctl_deb_dir}")
set(CPACK_ARMCTL_PORT "${ARMCTL_PORT}")
set(CPACK_ARMCTL_STATE_DIR "${ARMCTL_STATE_DIR}")
set(CPACK_ARMCTL_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_ARMCTL_HTPASSWD "${ARMCTL_HTPASSWD}")
set(CPACK_ARMCTL_SETTINGS "${ARMCTL_SETTINGS}")
set(CPACK_ARMCTL_SOCKET "${ARMCTL_SOCKET}")
set(CPACK_ARMCTL_CXX_VERSION "${CMAKE_CXX_COMPILER_VERSION}")
set(CPACK_ARMCTL_OBJDUMP "${CMAKE_OBJDUMP}")
set(CPACK_ARMCTL_STRIP "${CMAKE_STRIP}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/stage.cmake)
include(CPack)
