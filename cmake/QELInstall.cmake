# Installs the engine and the components for programs that embed them: the
# static libraries, their headers under include/qelmonte/ in the source
# tree's folder layout, a CMake package (find_package(Qelmonte) giving
# Qelmonte::components) and a pkg-config module (qelmonte.pc). The Qt layers
# above the components are not installed.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/qelmonte)
set(QEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Qelmonte)
set(QEL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Qelmonte::engine and Qelmonte::components. The engine's own dependencies
# (zlib, bzip2, Crypto++, ICU, threads) go with them as link-only entries,
# found again by the package configuration.
set_target_properties(qelengine PROPERTIES EXPORT_NAME engine)
set_target_properties(qelcomponents PROPERTIES EXPORT_NAME components)
install(TARGETS qelengine qelcomponents
  EXPORT QelmonteTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT QelmonteTargets
  NAMESPACE Qelmonte::
  DESTINATION ${QEL_INSTALL_CMAKEDIR})

# The headers of every layer up to the components, so that an embedder
# includes them as the engine does ("components/QELDatabase.h").
set(QEL_INSTALLED_LAYERS
  platform memory crypto values streams pagecache storage disk engine sql components)
foreach(layer IN LISTS QEL_INSTALLED_LAYERS)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/${layer}
    DESTINATION ${QEL_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")
endforeach()

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/QelmonteConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QelmonteConfig.cmake
  INSTALL_DESTINATION ${QEL_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/QelmonteConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/QelmonteConfig.cmake
  ${PROJECT_BINARY_DIR}/QelmonteConfigVersion.cmake
  DESTINATION ${QEL_INSTALL_CMAKEDIR})

# The module finds its prefix from its own place (pcfiledir), so that it is
# right under whatever prefix `cmake --install --prefix` is given; folders
# given as absolute paths stay as they are.
file(RELATIVE_PATH QEL_PC_PREFIX_FROM_PCFILEDIR
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QEL_PC_PREFIX_FROM_PCFILEDIR "${QEL_PC_PREFIX_FROM_PCFILEDIR}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QEL_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QEL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/qelmonte.pc.in ${PROJECT_BINARY_DIR}/qelmonte.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qelmonte.pc DESTINATION ${QEL_INSTALL_PKGCONFIGDIR})
