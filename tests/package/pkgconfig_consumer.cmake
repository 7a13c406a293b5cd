# Builds the C consumer against the installed copy as a user would, with
#   cc consumer.c $(pkg-config --cflags --libs stillreel)
# (--static for a static library), runs it and lets it check its file. Then
# the same for a copy of the whole prefix in another folder: stillreel.pc
# finds its prefix from its own place, so a moved prefix works as well.
#   cmake -DPREFIX=... -DLIBDIR=... -DCC=... -DSOURCE=... -DWORK=... -DVERSION=...
#         -DSHARED=ON|OFF -P pkgconfig_consumer.cmake
include(${CMAKE_CURRENT_LIST_DIR}/package_checks.cmake)

need_program(pkg_config pkg-config)
if(NOT found_program)
  return()
endif()

file(REMOVE_RECURSE ${WORK})
check_pkg_config_consumer(${PREFIX} ${SOURCE} ${WORK}/installed)

file(COPY ${PREFIX}/ DESTINATION ${WORK}/moved)
check_pc(${WORK}/moved/${LIBDIR}/pkgconfig/stillreel.pc ${WORK}/moved)
check_pkg_config_consumer(${WORK}/moved ${SOURCE} ${WORK}/moved-build)
