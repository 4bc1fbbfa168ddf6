# Install layout, CMake package and pkg-config files of the SDK (docs/install.md).
# Included at the end of the top CMakeLists.txt, once every library and tool target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KX_PACKAGE_NAME KxLaserEye)
# Headers go to their own folder: names such as kxunknown.h must not collide with other
# projects' headers in /usr/include. Applications include them as in the source tree.
set(KX_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kxlasereye)
set(KX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/${KX_PACKAGE_NAME})
set(KX_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(KX_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kxlasereye)

# Programs and modules find the libraries relative to themselves, wherever the prefix is.
function(kx_install_rpath target from_dir)
  file(RELATIVE_PATH rel "/prefix/${from_dir}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
  string(REGEX REPLACE "/$" "" rel "${rel}")
  if(rel STREQUAL "")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  else()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
  endif()
endfunction()

set(KX_INSTALL_LIBRARIES KxKernel OrEyeApi KxLaserEyeDevice)
foreach(lib ${KX_INSTALL_LIBRARIES})
  if(NOT TARGET ${lib})
    message(STATUS "install: ${lib} not built, the SDK is not installable")
    return()
  endif()
  set_target_properties(${lib} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  kx_install_rpath(${lib} ${CMAKE_INSTALL_LIBDIR})
  # The libraries name include/ of the source tree; installed, their users see the copy.
  get_target_property(dirs ${lib} INTERFACE_INCLUDE_DIRECTORIES)
  set(wrapped "")
  foreach(dir ${dirs})
    if(dir MATCHES "^\\$<")
      list(APPEND wrapped "${dir}")
    else()
      list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
    endif()
  endforeach()
  list(APPEND wrapped "$<INSTALL_INTERFACE:${KX_INSTALL_INCLUDEDIR}>")
  set_target_properties(${lib} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
endforeach()

install(TARGETS ${KX_INSTALL_LIBRARIES}
  EXPORT KxLaserEyeTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT devel
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# Public headers; the *_testsupport.h headers reach into the libraries for the project's own
# tests and are not part of what an application may use.
file(GLOB KX_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h)
list(FILTER KX_PUBLIC_HEADERS EXCLUDE REGEX "_testsupport\\.h$")
install(FILES ${KX_PUBLIC_HEADERS} DESTINATION ${KX_INSTALL_INCLUDEDIR} COMPONENT devel)

foreach(tool kxeye kxeye-emulator)
  if(TARGET ${tool})
    kx_install_rpath(${tool} ${CMAKE_INSTALL_BINDIR})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KX_INSTALL_DOCDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${KX_INSTALL_DOCDIR}/docs
  COMPONENT runtime FILES_MATCHING PATTERN "*.md")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${KX_INSTALL_DOCDIR}/examples
  COMPONENT devel FILES_MATCHING PATTERN "*.cpp" PATTERN "*.py" PATTERN "CMakeLists.txt"
  PATTERN "Makefile" PATTERN "__pycache__" EXCLUDE)

# CMake package: find_package(KxLaserEye) gives KxLaserEye::KxLaserEyeDevice,
# KxLaserEye::KxKernel and KxLaserEye::OrEyeApi.
install(EXPORT KxLaserEyeTargets NAMESPACE ${KX_PACKAGE_NAME}:: FILE KxLaserEyeTargets.cmake
  DESTINATION ${KX_INSTALL_CMAKEDIR} COMPONENT devel)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KxLaserEyeConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KxLaserEyeConfig.cmake INSTALL_DESTINATION ${KX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KxLaserEyeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KxLaserEyeConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/KxLaserEyeConfigVersion.cmake
  DESTINATION ${KX_INSTALL_CMAKEDIR} COMPONENT devel)

# pkg-config: kxlasereye (the SDK), kxkernel (pools, logging), oreyeapi (camera access).
# Paths are relative to the .pc file, so that a relocated prefix keeps working.
file(RELATIVE_PATH KX_PC_TO_PREFIX "/prefix/${KX_INSTALL_PKGCONFIGDIR}" "/prefix")
set(KX_PC_PREFIX "\${pcfiledir}/${KX_PC_TO_PREFIX}")
string(REGEX REPLACE "/$" "" KX_PC_PREFIX "${KX_PC_PREFIX}")
foreach(pc kxlasereye kxkernel oreyeapi)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${KX_INSTALL_PKGCONFIGDIR} COMPONENT devel)
endforeach()
