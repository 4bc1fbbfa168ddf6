# Debian package of the SDK built by CPack: `cpack -G DEB` in a build tree (docs/install.md).
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package laid out the Debian way
# (libraries under lib/<multiarch>).
set(CPACK_PACKAGE_NAME kxlasereye)
set(CPACK_PACKAGE_VENDOR "KxLaserEye SDK developers")
set(CPACK_PACKAGE_CONTACT "KxLaserEye SDK developers <sdk@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SDK for industrial laser line 3D cameras")
set(CPACK_PACKAGE_DESCRIPTION
  "Libraries (KxLaserEyeDevice, OrEyeApi with the embedded virtual camera, KxKernel), headers, CMake package and pkg-config files, the kxeye tool and the Python module kxlasereye.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# Run-time dependencies of the libraries and tools, read from their ELF needs by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries satisfy each other: give dpkg-shlibdeps their shlibs file.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The Python module is optional for C++ users; its interpreter and NumPy are recommended.
if(KX_PYTHON_RECOMMENDS)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${KX_PYTHON_RECOMMENDS}")
endif()
include(CPack)
