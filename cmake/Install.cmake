# Installation: programs, shared libraries, public headers, pkg-config
# files, man pages, and the Debian package made by CPack.
#
#   cmake --install build [--prefix /opt/tokenenrol]
#   (cd build && cpack)            -> tokenenrol_<version>_<arch>.deb
#
# Included from the top-level CMakeLists.txt after every component has been
# added, so the targets below exist when their components are complete;
# a component still being written is simply left out.

include_guard(GLOBAL)

# ---- what gets installed --------------------------------------------------------
# Explicit lists: test-only targets (the test token harness, the fault
# module, test programs, benchmarks, fuzzers) are never installed.
set(TOKENENROL_INSTALL_PROGRAMS Velkor Sarnet)
set(TOKENENROL_INSTALL_LIBRARIES asn1x509 Mirrel Parvox Tesk)
set(TOKENENROL_INSTALL_HEADER_DIRS asn1x509 serialenc dnmatch dnstring)

set(_inst_programs "")
foreach(_t IN LISTS TOKENENROL_INSTALL_PROGRAMS)
  if(TARGET ${_t})
    list(APPEND _inst_programs ${_t})
  endif()
endforeach()
set(_inst_libraries "")
foreach(_t IN LISTS TOKENENROL_INSTALL_LIBRARIES)
  if(TARGET ${_t})
    list(APPEND _inst_libraries ${_t})
  endif()
endforeach()

# ---- run paths --------------------------------------------------------------------
# Every binary is linked once with the run path it ships with (the build
# tree is not relinked or edited on installation): programs, test programs
# included, find the libraries in $ORIGIN/../lib (CMAKE_INSTALL_RPATH), and
# shared libraries and modules find each other in $ORIGIN.
function(_tokenenrol_library_runpaths dir)
  get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(_t IN LISTS _targets)
    get_target_property(_type ${_t} TYPE)
    if(_type STREQUAL "SHARED_LIBRARY" OR _type STREQUAL "MODULE_LIBRARY")
      set_property(TARGET ${_t} PROPERTY INSTALL_RPATH "$ORIGIN")
    endif()
  endforeach()
  get_property(_subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(_d IN LISTS _subdirs)
    _tokenenrol_library_runpaths(${_d})
  endforeach()
endfunction()
_tokenenrol_library_runpaths(${PROJECT_SOURCE_DIR})

if(_inst_programs)
  install(TARGETS ${_inst_programs}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(_inst_libraries)
  install(TARGETS ${_inst_libraries}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# Public headers: <asn1x509/asn1x509.h>, <tesk/tesk.h>, <mirrel/mirrel.h>,
# <parvox/parvox.h>.
foreach(_d IN LISTS TOKENENROL_INSTALL_HEADER_DIRS)
  if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${_d}/include)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${_d}/include/
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
            FILES_MATCHING PATTERN "*.h")
  endif()
endforeach()

# ---- pkg-config ---------------------------------------------------------------------
# The .pc files locate the prefix from their own place (${pcfiledir}), so the
# same files serve an install under any --prefix and the Debian package.
set(_inst_pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(IS_ABSOLUTE "${_inst_pc_dir}")
  set(TOKENENROL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _inst_pc_up "/root/${_inst_pc_dir}" "/root")
  string(REGEX REPLACE "/+$" "" _inst_pc_up "${_inst_pc_up}")
  set(TOKENENROL_PC_PREFIX "\${pcfiledir}/${_inst_pc_up}")
endif()
foreach(_v LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_v}}")
    set(TOKENENROL_PC_${_v} "${CMAKE_INSTALL_${_v}}")
  else()
    set(TOKENENROL_PC_${_v} "\${prefix}/${CMAKE_INSTALL_${_v}}")
  endif()
endforeach()

set(_inst_pc_map "asn1x509=asn1x509" "Mirrel=mirrel" "Parvox=parvox" "Tesk=tesk")
foreach(_pair IN LISTS _inst_pc_map)
  string(REPLACE "=" ";" _pair "${_pair}")
  list(GET _pair 0 _t)
  list(GET _pair 1 _pc)
  if(TARGET ${_t} AND EXISTS ${PROJECT_SOURCE_DIR}/packaging/pkgconfig/${_pc}.pc.in)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/pkgconfig/${_pc}.pc.in
                   ${PROJECT_BINARY_DIR}/packaging/pkgconfig/${_pc}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/pkgconfig/${_pc}.pc
            DESTINATION ${_inst_pc_dir})
  endif()
endforeach()

# ---- man pages ------------------------------------------------------------------------
# Section 1: the programs.  Section 3: the library calls, one page with
# short pages naming it for every exported call (so `man 3 CompareDN` works).
set(TOKENENROL_MAN3_ALIASES
    GetTypicalDN CompareDN Tesk FreeASN1Memory
    PARVOX_ucs2tombs PARVOX_ucs4tombs PARVOX_utf8tombs PARVOX_ucs2toutf8 PARVOX_ucs4toutf8
    PARVOX_ucs2toutf8DnString PARVOX_ucs4toutf8DnString
    PARVOX_dirstrtostring PARVOX_DirectStringDecode PARVOX_EmailAddrDecode
    PARVOX_NameObjToString PARVOX_NameObjToStringTXT PARVOX_NameObjToStringLDAP
    PARVOX_NameObjToStringLDAPUTF8 PARVOX_NameStringToObj PARVOX_NameStringToObjLDAP)
set(_inst_man ${PROJECT_SOURCE_DIR}/packaging/man)
foreach(_p IN LISTS _inst_programs)
  if(EXISTS ${_inst_man}/${_p}.1)
    install(FILES ${_inst_man}/${_p}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
if(_inst_libraries AND EXISTS ${_inst_man}/tokenenrol.3)
  install(FILES ${_inst_man}/tokenenrol.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
  foreach(_a IN LISTS TOKENENROL_MAN3_ALIASES)
    file(WRITE ${PROJECT_BINARY_DIR}/packaging/man3/${_a}.3.tmp ".so man3/tokenenrol.3\n")
    configure_file(${PROJECT_BINARY_DIR}/packaging/man3/${_a}.3.tmp
                   ${PROJECT_BINARY_DIR}/packaging/man3/${_a}.3 COPYONLY)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/man3/${_a}.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
  endforeach()
endif()

# ---- the Debian package -----------------------------------------------------------------
set(CPACK_PACKAGE_NAME "tokenenrol")
set(CPACK_PACKAGE_VENDOR "tokenenrol developers")
set(CPACK_PACKAGE_CONTACT "tokenenrol developers <tokenenrol@localhost>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "token enrolment toolkit: PKCS#12 import onto PKCS#11 tokens and certificate listing")
set(CPACK_PACKAGE_DESCRIPTION
    "Velkor renews the RSA key pair and X.509 certificate on a PKCS#11 token from a
password-protected PKCS#12 file; Sarnet lists the end-entity certificates on a
token.  Includes the shared libraries libMirrel (distinguished name
comparison), libParvox (distinguished names and directory strings as text),
libTesk (serial numbers as DER INTEGERs) and libasn1x509 (ASN.1 and X.509
objects), their headers, pkg-config files and manual pages.")
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Dependencies from the binaries themselves where dpkg-shlibdeps is at hand
# (libc6, libssl3 for libcrypto, libstdc++6, libgcc-s1, ...); otherwise the
# list below.
find_program(TOKENENROL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TOKENENROL_DPKG_SHLIBDEPS)
if(TOKENENROL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libssl3 (>= 3.0.0), libstdc++6 (>= 12), libgcc-s1")
endif()
include(CPack)

# ---- packaging test -------------------------------------------------------------------------
if(TOKENENROL_TESTS AND EXISTS ${PROJECT_SOURCE_DIR}/packaging/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/packaging ${PROJECT_BINARY_DIR}/packaging)
endif()
