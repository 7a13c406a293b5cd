# Install rules and packages: the library, its public headers, the tool and
# its manual page, a CMake package (find_package(stillreel CONFIG) gives
# stillreel::stillreel), a pkg-config file, and through CPack a Debian package
# or, in a Windows build, a zip (cpack -G ZIP).
# Every version in them is the project version. Included from CMakeLists.txt
# when STILLREEL_INSTALL is on.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(stillreel_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/stillreel)
get_target_property(stillreel_type stillreel TYPE)

# The library's INSTALL_INTERFACE names "include"; another include folder is
# added here.
set(stillreel_includes "")
if(NOT CMAKE_INSTALL_INCLUDEDIR STREQUAL "include")
  set(stillreel_includes INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

# Components: runtime (what programs load), development (what builds against
# the library), tool (the command line and its manual page).
install(TARGETS stillreel EXPORT stillreelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ${stillreel_includes})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/stillreel
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(FILES ${PROJECT_BINARY_DIR}/include/stillreel/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/stillreel COMPONENT development)

# The tool finds the library beside it through its rpath ($ORIGIN/../lib).
if(TARGET stillreel_tool)
  install(TARGETS stillreel_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  if(NOT WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/doc/stillreel.1
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
    # Completion of its options in bash, where bash-completion loads it from.
    install(FILES ${PROJECT_SOURCE_DIR}/tools/stillreel/completion.bash
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME stillreel
      COMPONENT tool)
  endif()
endif()

# Windows: bin/ holds stillreel.exe beside stillreel.dll (which carry their
# compiler runtime inside, so nothing else is needed), lib/ the import
# library stillreel.lib and the module-definition file that names the DLL's
# C exports, for other linkers and languages; the README at the top.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/src/stillreel.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT runtime)
endif()

# The Python package, pure Python over the C API, into the prefix's Python
# folder: on Debian lib/python3/dist-packages under /usr (Debian's own
# packages, the .deb) and lib/python3.<minor>/dist-packages elsewhere (its
# folder for local installs); on other systems lib/python3.<minor>/site-packages. The folder is chosen when installing, so CPack's
# /usr gets Debian's. It finds the library through the relative path written
# into _location.py beside it.
if(stillreel_type STREQUAL "SHARED_LIBRARY" AND NOT WIN32)
  find_package(Python3 QUIET COMPONENTS Interpreter)
  if(Python3_FOUND)
    set(stillreel_python "python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
  else()
    set(stillreel_python "python3")
  endif()
  set(STILLREEL_INSTALL_PYTHONDIR "" CACHE STRING
      "Python package folder, relative to the prefix (empty: chosen when installing)")
  set(stillreel_lib_file "libstillreel.so.${PROJECT_VERSION_MAJOR}")
  install(CODE "
    set(dir \"${STILLREEL_INSTALL_PYTHONDIR}\")
    if(NOT dir AND CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" AND EXISTS /usr/lib/python3/dist-packages)
      set(dir lib/python3/dist-packages)
    elseif(NOT dir AND EXISTS /usr/lib/python3/dist-packages)
      set(dir lib/${stillreel_python}/dist-packages)
    elseif(NOT dir)
      set(dir lib/${stillreel_python}/site-packages)
    endif()
    if(IS_ABSOLUTE \"${CMAKE_INSTALL_LIBDIR}\")
      set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
    else()
      set(libdir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\")
    endif()
    file(RELATIVE_PATH up \"\${CMAKE_INSTALL_PREFIX}/\${dir}/stillreel\" \"\${libdir}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/python/_location.py\"
      \"# Written when installing: the library, relative to this folder.\\nLIBRARY = \\\"\${up}/${stillreel_lib_file}\\\"\\n\")
    file(INSTALL
      \"${PROJECT_SOURCE_DIR}/python/stillreel/__init__.py\"
      \"${PROJECT_SOURCE_DIR}/python/stillreel/__main__.py\"
      \"${PROJECT_SOURCE_DIR}/python/stillreel/py.typed\"
      \"${PROJECT_BINARY_DIR}/python/_location.py\"
      DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${dir}/stillreel\")
    " COMPONENT python)
endif()

# The CMake package. Its files locate the prefix from their own place, so
# the package works wherever the prefix is moved or unpacked.
install(EXPORT stillreelTargets NAMESPACE stillreel::
  DESTINATION ${stillreel_cmake_dir} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/stillreelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/stillreelConfig.cmake
  INSTALL_DESTINATION ${stillreel_cmake_dir})
# A new major version is a new SONAME: only the same major version is compatible.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/stillreelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/stillreelConfig.cmake
  ${PROJECT_BINARY_DIR}/package/stillreelConfigVersion.cmake
  DESTINATION ${stillreel_cmake_dir} COMPONENT development)

# The pkg-config file, written once here. Like the CMake package it locates
# the prefix from its own place, ${pcfiledir} (the folder pkg-config found it
# in), so it holds for any prefix it is installed into (cmake --install
# --prefix, DESTDIR and CPack included) and for a prefix moved afterwards. An
# absolute CMAKE_INSTALL_LIBDIR or INCLUDEDIR is written as it is, and with an
# absolute (or outside the prefix) CMAKE_INSTALL_LIBDIR the prefix is
# CMAKE_INSTALL_PREFIX as configured. A C program linking the library needs
# the C++ runtime too: the libraries the C++ compiler adds beyond the C
# compiler's.
set(stillreel_pc_cxx_libs "")
foreach(lib IN LISTS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
  if(NOT lib IN_LIST CMAKE_C_IMPLICIT_LINK_LIBRARIES)
    list(APPEND stillreel_pc_cxx_libs "-l${lib}")
  endif()
endforeach()
list(REMOVE_DUPLICATES stillreel_pc_cxx_libs)
list(JOIN stillreel_pc_cxx_libs " " stillreel_pc_cxx_libs)
if(stillreel_type STREQUAL "STATIC_LIBRARY")
  set(stillreel_pc_libs "-L\${libdir} -lstillreel ${stillreel_pc_cxx_libs}")
  set(stillreel_pc_libs_private "")
else()
  set(stillreel_pc_libs "-L\${libdir} -lstillreel")
  set(stillreel_pc_libs_private "${stillreel_pc_cxx_libs}")
endif()
set(stillreel_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
cmake_path(SET stillreel_pc_dir_normal NORMALIZE "${stillreel_pc_dir}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR stillreel_pc_dir_normal MATCHES "^\\.\\.(/|$)")
  set(stillreel_pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  # From <prefix>/<libdir>/pkgconfig back to <prefix>: one ".." a folder.
  set(stillreel_pc_root "")
  cmake_path(RELATIVE_PATH stillreel_pc_root BASE_DIRECTORY "${stillreel_pc_dir_normal}"
             OUTPUT_VARIABLE stillreel_pc_up)
  set(stillreel_pc_prefix "\${pcfiledir}/${stillreel_pc_up}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(stillreel_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(stillreel_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/stillreel.pc.in ${PROJECT_BINARY_DIR}/package/stillreel.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/stillreel.pc
  DESTINATION ${stillreel_pc_dir} COMPONENT development)

# The Debian package (cpack -G DEB): one package with the library, headers,
# CMake and pkg-config files, the tool and its manual page, installed under
# /usr. Only the project that is built on its own packages stillreel.
if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_PACKAGE_NAME stillreel)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_PACKAGE_DESCRIPTION [[
stillreel turns a sequence of BMP pictures into one uncompressed 24-bit AVI
video that players and editors open without codecs, optionally with
cross-faded frames between the pictures. This package holds the shared
library libstillreel with its C and C++ headers, CMake and pkg-config files,
and the stillreel command-line tool.]])
  set(CPACK_PACKAGE_CONTACT "stillreel developers" CACHE STRING "Maintainer of the Debian package")
  if(WIN32)
    # stillreel-<version>-win64.zip (win32 for 32-bit x86), one folder of
    # that name inside.
    set(CPACK_GENERATOR ZIP)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(CPACK_SYSTEM_NAME win64)
    else()
      set(CPACK_SYSTEM_NAME win32)
    endif()
  else()
    set(CPACK_GENERATOR DEB)
  endif()
  # CPack installs with this prefix into a staging DESTDIR.
  if(NOT WIN32)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  endif()
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION video)
  # Depends computed from the binaries by dpkg-shlibdeps (Debian's dpkg-dev),
  # or without it the libraries they link; a shlibs file for
  # libstillreel.so.<major>, and ldconfig run on installation and removal.
  find_program(STILLREEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
  mark_as_advanced(STILLREEL_DPKG_SHLIBDEPS)
  if(STILLREEL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  include(CPack)
endif()
