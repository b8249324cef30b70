# Install layout and the Debian packages (scripts/package.sh).
#
# Two components, one Debian package each:
#   module  brisane-pkcs11: the module, its p11-kit registration, the README and
#           an example settings file
#   vcard   kalvik-vcard: the virtual card tool and the PC/SC client the stack
#           scripts use
# Destinations are relative, so `cmake --install build --prefix /usr` and the
# packages (always /usr) agree.
include(GNUInstallDirs)

# p11-kit, NSS and OpenSC look for modules in /usr/lib/<triplet>/pkcs11 on
# Debian, whatever prefix this tree was configured with.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(brisane_default_pkcs11_dir lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkcs11)
else()
  set(brisane_default_pkcs11_dir ${CMAKE_INSTALL_LIBDIR}/pkcs11)
endif()
set(BRISANE_PKCS11_DIR ${brisane_default_pkcs11_dir} CACHE STRING
  "Where brisane-pkcs11.so is installed, relative to the prefix")
set(BRISANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/brisane-pkcs11)

# p11-kit reads module files only from its compiled-in directories
# (/usr/share/p11-kit/modules, /etc/pkcs11/modules).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/brisane.module
  DESTINATION ${CMAKE_INSTALL_DATADIR}/p11-kit/modules COMPONENT module)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/brisane.txt
  DESTINATION ${BRISANE_DOC_DIR}/examples COMPONENT module)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${BRISANE_DOC_DIR} COMPONENT module)
install(FILES ${PROJECT_SOURCE_DIR}/vcard/README.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kalvik-vcard COMPONENT vcard)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brisane)
set(CPACK_PACKAGE_VENDOR "Marvolen s.r.o.")
set(CPACK_PACKAGE_CONTACT "Marvolen s.r.o.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL module vcard)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_MODULE_PACKAGE_NAME brisane-pkcs11)
set(CPACK_DEBIAN_MODULE_PACKAGE_SECTION libs)
# The module reaches readers only through a running pcscd; shlibdeps adds libpcsclite1.
set(CPACK_DEBIAN_MODULE_PACKAGE_DEPENDS pcscd)
set(CPACK_DEBIAN_MODULE_PACKAGE_SUGGESTS "p11-kit, p11-kit-modules, opensc, gnutls-bin, libnss3-tools")
set(CPACK_COMPONENT_MODULE_DESCRIPTION
  "PKCS#11 module for Kalvik RSA smart cards
brisane-pkcs11.so lets PKCS#11 applications (pkcs11-tool, OpenSSL, GnuTLS,
OpenSSH, Firefox and other NSS applications) use the RSA keys, certificates
and data objects on smart cards running the Kalvik applet, through pcscd.
It is registered with p11-kit.")

set(CPACK_DEBIAN_VCARD_PACKAGE_NAME kalvik-vcard)
set(CPACK_DEBIAN_VCARD_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_VCARD_PACKAGE_RECOMMENDS "pcscd, vsmartcard-vpcd")
set(CPACK_COMPONENT_VCARD_DESCRIPTION
  "virtual Kalvik smart card for trying brisane-pkcs11
kalvik-vcard personalises card images and serves them to pcscd through the
vsmartcard-vpcd reader driver, so that brisane-pkcs11 and every PC/SC
application can be tried without a card or a reader.")

include(CPack)
