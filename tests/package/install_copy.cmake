# Installs the build into a fresh scratch prefix (cmake --install --prefix), as
# a user installs into /usr/local, and checks what lands there: the library
# with its SONAME, the headers, the tool with its manual page, the CMake
# package and stillreel.pc, each with the project version, as is every macro
# of stillreel/version.h. Also empties the consumers' scratch folders, so
# every run starts clean.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DSCRATCH=... -DCONFIG=... -DVERSION=...
#         -DSOVERSION=... -DLIBDIR=... -DINCLUDEDIR=... -DBINDIR=... -DMANDIR=...
#         -DSHARED=ON|OFF -DTOOL=ON|OFF -P install_copy.cmake
include(${CMAKE_CURRENT_LIST_DIR}/package_checks.cmake)

file(REMOVE_RECURSE ${PREFIX} ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
run_checked(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --config ${CONFIG})

set(want
  ${INCLUDEDIR}/stillreel/vod2eri.h
  ${INCLUDEDIR}/stillreel/stillreel.hpp
  ${INCLUDEDIR}/stillreel/export.h
  ${INCLUDEDIR}/stillreel/version.h
  ${LIBDIR}/cmake/stillreel/stillreelConfig.cmake
  ${LIBDIR}/cmake/stillreel/stillreelConfigVersion.cmake
  ${LIBDIR}/cmake/stillreel/stillreelTargets.cmake
  ${LIBDIR}/pkgconfig/stillreel.pc)
if(SHARED)
  list(APPEND want ${LIBDIR}/libstillreel.so.${VERSION} ${LIBDIR}/libstillreel.so.${SOVERSION}
       ${LIBDIR}/libstillreel.so)
else()
  list(APPEND want ${LIBDIR}/libstillreel.a)
endif()
if(TOOL)
  list(APPEND want ${BINDIR}/stillreel ${MANDIR}/man1/stillreel.1)
endif()
check_files(${PREFIX} ${want})

if(SHARED)
  check_soname(${PREFIX}/${LIBDIR}/libstillreel.so.${VERSION} libstillreel.so.${SOVERSION})
  check_link(${PREFIX}/${LIBDIR}/libstillreel.so libstillreel.so.${SOVERSION})
endif()
check_pc(${PREFIX}/${LIBDIR}/pkgconfig/stillreel.pc ${PREFIX})
check_version_h(${PREFIX}/${INCLUDEDIR}/stillreel/version.h)
if(TOOL)
  # The installed tool runs from the prefix with no environment help, and
  # takes the prefix's library, not the build tree's.
  check_tool_version(${PREFIX}/${BINDIR}/stillreel)
  if(SHARED)
    check_loads_from(${PREFIX}/${BINDIR}/stillreel ${PREFIX}/${LIBDIR})
  endif()
endif()
message(STATUS "installed and checked in ${PREFIX}")
