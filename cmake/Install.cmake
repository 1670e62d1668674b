# Installation: the programs' bundle and tokenenrol-setup, shared
# libraries, public headers, pkg-config files and man pages.
#
#   cmake --install build [--prefix /opt/tokenenrol]
#
# The Debian packages are made from the same rules by debian/rules
# (dpkg-buildpackage -b; see packaging/make-debs).
#
# Included from the top-level CMakeLists.txt after every component has been
# added, so the targets below exist when their components are complete;
# a component still being written is simply left out.

include_guard(GLOBAL)

# ---- what gets installed --------------------------------------------------------
# Explicit lists: test-only targets (the test token harness, the fault
# module, test programs, benchmarks, fuzzers) are never installed.
set(TOKENENROL_INSTALL_PROGRAMS Velkor velkor-preview Sarnet)
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

# ---- layout ---------------------------------------------------------------------------
# The programs keep their files (Tamrin.txt, Morva.txt, certRead.txt,
# trustAnchor.config) beside themselves, so they live in a relocatable
# bundle of their own, <libdir>/tokenenrol/{bin,lib}; its lib/ holds
# relative links to the shared libraries in <libdir>.  tokenenrol-setup
# (in <bindir>) lays out a private copy of that bundle in a folder the
# user owns, where the programs can write their files.
set(TOKENENROL_BUNDLE_DIR "${CMAKE_INSTALL_LIBDIR}/tokenenrol")
file(RELATIVE_PATH TOKENENROL_SETUP_TO_BUNDLE "/root/${CMAKE_INSTALL_BINDIR}" "/root/${TOKENENROL_BUNDLE_DIR}")

set(_inst_shared_perms OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(_inst_programs)
  install(TARGETS ${_inst_programs}
          RUNTIME DESTINATION ${TOKENENROL_BUNDLE_DIR}/bin)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/tokenenrol-setup.in
                 ${PROJECT_BINARY_DIR}/packaging/tokenenrol-setup @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/packaging/tokenenrol-setup
          DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The bundle's lib/: links to the libraries' real names in <libdir>.
  set(_inst_links "")
  foreach(_t IN LISTS _inst_libraries)
    string(APPEND _inst_links "$<TARGET_SONAME_FILE_NAME:${_t}>;")
  endforeach()
  install(CODE "
    set(_bundle_lib \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TOKENENROL_BUNDLE_DIR}/lib\")
    file(MAKE_DIRECTORY \"\${_bundle_lib}\")
    foreach(_so IN ITEMS ${_inst_links})
      message(STATUS \"Installing: \${_bundle_lib}/\${_so} -> ../../\${_so}\")
      file(CREATE_LINK \"../../\${_so}\" \"\${_bundle_lib}/\${_so}\" SYMBOLIC)
    endforeach()")
endif()
foreach(_t IN LISTS _inst_libraries)
  install(TARGETS ${_t}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                  PERMISSIONS ${_inst_shared_perms})
endforeach()

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
# Section 1: the programs and tokenenrol-setup.  Section 3: the library
# calls, one page with links naming it for every exported call (so
# `man 3 CompareDN` works).
set(TOKENENROL_MAN3_ALIASES
    GetTypicalDN CompareDN Tesk FreeASN1Memory
    PARVOX_ucs2tombs PARVOX_ucs4tombs PARVOX_utf8tombs PARVOX_ucs2toutf8 PARVOX_ucs4toutf8
    PARVOX_ucs2toutf8DnString PARVOX_ucs4toutf8DnString
    PARVOX_dirstrtostring PARVOX_DirectStringDecode PARVOX_EmailAddrDecode
    PARVOX_NameObjToString PARVOX_NameObjToStringTXT PARVOX_NameObjToStringLDAP
    PARVOX_NameObjToStringLDAPUTF8 PARVOX_NameStringToObj PARVOX_NameStringToObjLDAP)
set(_inst_man ${PROJECT_SOURCE_DIR}/packaging/man)
if(_inst_programs)
  foreach(_p IN LISTS _inst_programs ITEMS tokenenrol-setup)
    if(EXISTS ${_inst_man}/${_p}.1)
      install(FILES ${_inst_man}/${_p}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
endif()
if(_inst_libraries AND EXISTS ${_inst_man}/tokenenrol.3)
  install(FILES ${_inst_man}/tokenenrol.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/man3)
  foreach(_a IN LISTS TOKENENROL_MAN3_ALIASES)
    file(CREATE_LINK tokenenrol.3 ${PROJECT_BINARY_DIR}/packaging/man3/${_a}.3 SYMBOLIC)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/man3/${_a}.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
  endforeach()
endif()

# ---- packaging test -------------------------------------------------------------------------
if(TOKENENROL_TESTS AND EXISTS ${PROJECT_SOURCE_DIR}/packaging/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/packaging ${PROJECT_BINARY_DIR}/packaging)
endif()
