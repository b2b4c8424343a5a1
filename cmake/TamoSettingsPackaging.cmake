# Installs the settings library for C and C++ programs: the header, the shared
# and static library, a pkg-config file and a CMake package. Outside /usr every
# installed file finds the others relative to itself, so the prefix may be
# chosen at install time (cmake --install <build> --prefix <dir>).
include(CMakePackageConfigHelpers)

set(TAMO_SETTINGS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TamoSettings)
set(TAMO_SETTINGS_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The static library has an export file of its own, so that a distribution
# may ship it apart from (or not at all beside) the shared one: the package
# configuration then still loads without it.
install(TARGETS tamo_settings_shared
  EXPORT TamoSettingsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
)
install(TARGETS tamo_settings_static
  EXPORT TamoSettingsStaticTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
)
install(FILES ${PROJECT_SOURCE_DIR}/install/include/tamo/settings.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tamo)
install(FILES ${PROJECT_SOURCE_DIR}/doc/tamo-settings.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)

# CMake package: TamoSettings::tamo-settings and TamoSettings::tamo-settings-static.
install(EXPORT TamoSettingsTargets
  NAMESPACE TamoSettings::
  DESTINATION ${TAMO_SETTINGS_CMAKE_DIR})
install(EXPORT TamoSettingsStaticTargets
  NAMESPACE TamoSettings::
  DESTINATION ${TAMO_SETTINGS_CMAKE_DIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/TamoSettingsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TamoSettingsConfig.cmake
  INSTALL_DESTINATION ${TAMO_SETTINGS_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/TamoSettingsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/TamoSettingsConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TamoSettingsConfigVersion.cmake
  DESTINATION ${TAMO_SETTINGS_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own folder, so that a
# prefix may be moved. A system prefix (/usr) is written as it is: pkg-config
# recognises its folders as the system's only when they are spelled so, and
# then leaves them out of the flags.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(TAMO_PC_RELOCATABLE_DEFAULT OFF)
else()
  set(TAMO_PC_RELOCATABLE_DEFAULT ON)
endif()
option(TAMO_RELOCATABLE_PKGCONFIG
  "Write the pkg-config prefix relative to the .pc file (else CMAKE_INSTALL_PREFIX)"
  ${TAMO_PC_RELOCATABLE_DEFAULT})
function(tamo_relative_to_prefix out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(TAMO_RELOCATABLE_PKGCONFIG)
  file(RELATIVE_PATH TAMO_PC_PREFIX_FROM_PCFILEDIR
    /prefix/${TAMO_SETTINGS_PKGCONFIG_DIR} /prefix)
  string(REGEX REPLACE "/$" "" TAMO_PC_PREFIX_FROM_PCFILEDIR "${TAMO_PC_PREFIX_FROM_PCFILEDIR}")
  set(TAMO_PC_PREFIX "\${pcfiledir}/${TAMO_PC_PREFIX_FROM_PCFILEDIR}")
else()
  set(TAMO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
endif()
tamo_relative_to_prefix(TAMO_PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
tamo_relative_to_prefix(TAMO_PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/tamo-settings.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/tamo-settings.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tamo-settings.pc
  DESTINATION ${TAMO_SETTINGS_PKGCONFIG_DIR})
