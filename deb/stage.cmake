# Run by cpack on the staged files, before they are packed: Debian's layout
# (compressed manual pages, copyright, changelog, lintian overrides), conffiles
# for whatever the install rules put under /etc, stripped programs and, for
# the 32-bit package, the dependencies on the libraries its programs need.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(here "${CPACK_ARMCTL_SOURCE_DIR}/deb")
set(doc "${root}/usr/share/doc/armctl")
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

function(gzip_in_place file)
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(GLOB_RECURSE pages LIST_DIRECTORIES false "${root}/usr/share/man/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    gzip_in_place("${page}")
  endif()
endforeach()

file(COPY "${here}/copyright" DESTINATION "${doc}" FILE_PERMISSIONS ${readable})
file(COPY "${CPACK_ARMCTL_DEB_DIR}/changelog" DESTINATION "${doc}"
     FILE_PERMISSIONS ${readable})
gzip_in_place("${doc}/changelog")
file(RENAME "${doc}/changelog.gz" "${doc}/changelog.Debian.gz")
file(COPY "${here}/lintian-overrides" DESTINATION "${root}/usr/share/lintian/overrides"
     FILE_PERMISSIONS ${readable})
file(RENAME "${root}/usr/share/lintian/overrides/lintian-overrides"
     "${root}/usr/share/lintian/overrides/armctl")

# Every file under /etc is the administrator's to edit: dpkg keeps their changes.
file(GLOB_RECURSE etc_files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/etc/*")
if(etc_files)
  list(TRANSFORM etc_files PREPEND "/")
  list(JOIN etc_files "\n" lines)
  file(WRITE "${CPACK_ARMCTL_DEB_DIR}/conffiles" "${lines}\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CPACK_ARMCTL_DEB_DIR}/conffiles")
endif()

# The programs: every ELF file under /usr, stripped as dh_strip does (the
# install rules strip only their own targets, and leave .comment and .note).
file(GLOB_RECURSE candidates LIST_DIRECTORIES false "${root}/usr/*")
set(programs "")
foreach(file IN LISTS candidates)
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    list(APPEND programs "${file}")
    execute_process(COMMAND "${CPACK_ARMCTL_STRIP}" --remove-section=.comment
                            --remove-section=.note "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

# dpkg-shlibdeps looks for the host's libraries, not the 32-bit ones the m32
# toolchain links with: here each needed library maps to its Debian package,
# at least at the newest symbol version the programs use (libstdc++6 at the
# compiler's own version).
if(NOT CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
  set(lib_libc.so.6 libc6 GLIBC)
  set(lib_libm.so.6 libc6 GLIBC)
  set(lib_libgcc_s.so.1 libgcc-s1 GCC)
  set(lib_libstdc++.so.6 libstdc++6 GLIBCXX)
  # libapr, libaprutil (the login check) and libmicrohttpd (armctld's
  # server) have no symbol versions: any version.
  set(lib_libapr-1.so.0 libapr1 NONE)
  set(lib_libaprutil-1.so.0 libaprutil1 NONE)
  set(lib_libmicrohttpd.so.12 libmicrohttpd12 NONE)
  # GnuTLS signs the device cookies (and is libmicrohttpd's own dependency).
  set(lib_libgnutls.so.30 libgnutls30 NONE)
  set(lib_libsystemd.so.0 libsystemd0 LIBSYSTEMD)
  set(depends "")
  foreach(program IN LISTS programs)
    execute_process(COMMAND "${CPACK_ARMCTL_OBJDUMP}" -p -T "${program}"
                    OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${dump}")
    foreach(entry IN LISTS needed)
      string(REGEX REPLACE "NEEDED +" "" lib "${entry}")
      if(NOT DEFINED lib_${lib})
        message(FATAL_ERROR "${program} needs ${lib}: add its Debian package to deb/stage.cmake")
      endif()
      list(GET lib_${lib} 0 package)
      list(GET lib_${lib} 1 tag)
      string(REGEX MATCHALL "${tag}_[0-9.]+" versions "${dump}")
      list(TRANSFORM versions REPLACE "^${tag}_" "")
      list(APPEND versions 0 ${version_${package}})
      list(SORT versions COMPARE NATURAL ORDER DESCENDING)
      list(GET versions 0 version_${package})
      list(APPEND depends ${package})
    endforeach()
  endforeach()
  string(REGEX MATCH "^[0-9]+" gcc_major "${CPACK_ARMCTL_CXX_VERSION}")
  set(version_libstdc++6 ${gcc_major})
  list(REMOVE_DUPLICATES depends)
  list(SORT depends)
  set(fields ${CPACK_DEBIAN_PACKAGE_DEPENDS})
  foreach(package IN LISTS depends)
    if(version_${package} STREQUAL "0")
      list(APPEND fields "${package}")
    else()
      list(APPEND fields "${package} (>= ${version_${package}})")
    endif()
  endforeach()
  list(JOIN fields ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
