# Builds the Debian package (cpack -G DEB), checks its control fields and
# contents, unpacks it into a scratch root with dpkg -x and runs the tool from
# there: it must find its library in the root through its rpath and write the
# same file as the tool of the build tree. The C consumer is built against the
# unpacked root through its stillreel.pc too.
#   cmake -DBUILD_DIR=... -DWORK=... -DVERSION=... -DSOVERSION=... -DLIBDIR=...
#         -DSHARED=ON|OFF -DTOOL=<built tool> -DSOURCE_DIR=... -DCC=...
#         -P deb_package.cmake
include(${CMAKE_CURRENT_LIST_DIR}/package_checks.cmake)

need_program(dpkg_deb dpkg-deb)
if(NOT found_program)
  return()
endif()
need_program(dpkg dpkg)
if(NOT found_program)
  return()
endif()
need_program(pkg_config pkg-config)
if(NOT found_program)
  return()
endif()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
run_checked(cpack --config ${BUILD_DIR}/CPackConfig.cmake -G DEB -B ${WORK}/out)
file(GLOB debs ${WORK}/out/*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} packages (${debs}), want 1\n${run_output}")
endif()

foreach(field_want IN ITEMS "Package=stillreel" "Version=${VERSION}")
  string(REPLACE "=" ";" field_want "${field_want}")
  list(GET field_want 0 field)
  list(GET field_want 1 want)
  run_checked(${dpkg_deb} --field ${debs} ${field})
  string(STRIP "${run_output}" have)
  if(NOT have STREQUAL want)
    message(FATAL_ERROR "${debs}: have ${field} ${have}, want ${want}")
  endif()
endforeach()
run_checked(${dpkg_deb} --field ${debs} Depends)
if(NOT run_output MATCHES "libc6")
  message(FATAL_ERROR "${debs}: have Depends \"${run_output}\", want libc6 among them")
endif()

set(root ${WORK}/root)
run_checked(${dpkg} -x ${debs} ${root})
set(want
  usr/bin/stillreel
  usr/share/man/man1/stillreel.1
  usr/include/stillreel/vod2eri.h
  usr/include/stillreel/stillreel.hpp
  usr/include/stillreel/export.h
  usr/include/stillreel/version.h
  usr/${LIBDIR}/cmake/stillreel/stillreelConfig.cmake
  usr/${LIBDIR}/pkgconfig/stillreel.pc)
if(SHARED)
  list(APPEND want usr/${LIBDIR}/libstillreel.so.${SOVERSION} usr/${LIBDIR}/libstillreel.so)
else()
  list(APPEND want usr/${LIBDIR}/libstillreel.a)
endif()
if(SHARED)
  list(APPEND want usr/lib/python3/dist-packages/stillreel/__init__.py
                   usr/lib/python3/dist-packages/stillreel/__main__.py
                   usr/share/bash-completion/completions/stillreel)
endif()
check_files(${root} ${want})
# stillreel.pc names the usr folder it came with: the root's here, /usr installed.
check_pc(${root}/usr/${LIBDIR}/pkgconfig/stillreel.pc ${root}/usr)
check_version_h(${root}/usr/include/stillreel/version.h)
check_pkg_config_consumer(${root}/usr ${SOURCE_DIR}/tests/package/c/consumer.c ${WORK}/c)
if(SHARED)
  check_soname(${root}/usr/${LIBDIR}/libstillreel.so.${VERSION} libstillreel.so.${SOVERSION})
  check_loads_from(${root}/usr/bin/stillreel ${root}/usr/${LIBDIR})
  # The Python package finds the library of its own package, not another one.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=STILLREEL_LIBRARY --unset=LD_LIBRARY_PATH
                          PYTHONPATH=${root}/usr/lib/python3/dist-packages
                          python3 -c "import stillreel; print(stillreel._load()._name)"
                  RESULT_VARIABLE status OUTPUT_VARIABLE loaded ERROR_VARIABLE err)
  string(STRIP "${loaded}" loaded)
  get_filename_component(loaded "${loaded}" REALPATH)
  get_filename_component(want_loaded "${root}/usr/${LIBDIR}/libstillreel.so.${SOVERSION}" REALPATH)
  if(NOT status EQUAL 0 OR NOT loaded STREQUAL want_loaded)
    message(FATAL_ERROR "the unpacked Python package loaded \"${loaded}\", want ${want_loaded}\n${err}")
  endif()
  # The package declares its library to dpkg and runs ldconfig.
  run_checked(${dpkg_deb} --control ${debs} ${WORK}/control)
  check_files(${WORK}/control shlibs postinst postrm)
  file(READ ${WORK}/control/shlibs have)
  if(NOT have MATCHES "^libstillreel ${SOVERSION} stillreel")
    message(FATAL_ERROR "shlibs: have \"${have}\", want libstillreel ${SOVERSION} stillreel ...")
  endif()
endif()

check_tool_version(${root}/usr/bin/stillreel)
foreach(tool unpacked:${root}/usr/bin/stillreel built:${TOOL})
  string(REGEX REPLACE ":.*" "" name ${tool})
  string(REGEX REPLACE "^[a-z]*:" "" path ${tool})
  # The example list names its pictures from the source folder.
  execute_process(COMMAND ${path} -q --fps 2 --smooth 3 --list examples/frames.txt
                          -o ${WORK}/${name}.avi
                  WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${path}: have exit status ${status}, want 0\n${err}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/unpacked.avi ${WORK}/built.avi
                RESULT_VARIABLE differ)
if(differ)
  file(SIZE ${WORK}/unpacked.avi have)
  file(SIZE ${WORK}/built.avi want)
  message(FATAL_ERROR
    "the unpacked tool's file (${have} bytes) differs from the built tool's (${want} bytes)")
endif()
message(STATUS "${debs} unpacked into ${root} and run")
