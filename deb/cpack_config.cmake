# Read by cpack before it packs: the package is only right for the hardware
# build installed under /usr with the state directory its scripts set up.
set(wanted_port parport)
set(wanted_state_dir /home/robot/public_html)
set(wanted_install_prefix /usr)
set(wanted_htpasswd /etc/armctl/htpasswd)
set(wanted_settings /etc/armctl/armctld.conf)
set(wanted_socket /run/armctl/armctl.sock)
foreach(setting IN ITEMS port state_dir install_prefix htpasswd settings socket)
  string(TOUPPER "CPACK_ARMCTL_${setting}" variable)
  if(NOT "${${variable}}" STREQUAL "${wanted_${setting}}")
    message(FATAL_ERROR "the Debian package needs a build with ${setting} ${wanted_${setting}}, "
                        "not '${${variable}}' (cmake --preset deb)")
  endif()
endforeach()
