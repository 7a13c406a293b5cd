# Builds the C consumer against the installed copy as a user would, with
#   cc consumer.c $(pkg-config --cflags --libs stillreel)
# (--static for a static library), runs it and lets it check its file.
#   cmake -DPREFIX=... -DLIBDIR=... -DCC=... -DSOURCE=... -DWORK=... -DVERSION=...
#         -DSHARED=ON|OFF -P pkgconfig_consumer.cmake
include(${CMAKE_CURRENT_LIST_DIR}/package_checks.cmake)

need_program(pkg_config pkg-config)
if(NOT found_program)
  return()
endif()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/run)
set(ENV{PKG_CONFIG_PATH} ${PREFIX}/${LIBDIR}/pkgconfig)

run_checked(${pkg_config} --modversion stillreel)
string(STRIP "${run_output}" have)
if(NOT have STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config --modversion stillreel: have ${have}, want ${VERSION}")
endif()

if(SHARED)
  run_checked(${pkg_config} --cflags --libs stillreel)
else()
  run_checked(${pkg_config} --cflags --libs --static stillreel)
endif()
separate_arguments(flags UNIX_COMMAND "${run_output}")
run_checked(${CC} -std=c11 -Wall -Wextra -Wpedantic -Werror "-DWANT_VERSION=\"${VERSION}\""
            -o ${WORK}/consumer ${SOURCE} ${flags})

# The prefix is no system folder: the loader is told where the library is.
run_checked(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${PREFIX}/${LIBDIR}
            ${WORK}/consumer ${WORK}/run)
message("${run_output}")
