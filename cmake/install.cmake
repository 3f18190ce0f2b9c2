# Install rules: the library and the writer with their headers, the
# executables, a CMake package (tarnwick_dat::tarnwick_dat), a pkg-config file
# and a Debian package through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARNWICK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick_dat)

set_target_properties(tarnwick_dat_writer PROPERTIES EXPORT_NAME writer)
install(TARGETS tarnwick_dat tarnwick_dat_writer
    EXPORT tarnwick_datTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The interface only, file by file: src/ also holds the library's private
# headers.
foreach(header IN LISTS TARNWICK_DAT_PUBLIC_HEADERS)
    get_filename_component(subdir ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/crates/tarnwick-dat/src/${header}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarnwick_dat/${subdir})
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/crates/tarnwick-dat/writer/include/tarnwick_dat_writer
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(TARNWICK_EXECUTABLES quorvant)
if(TARGET tarnwick-dat)
    list(APPEND TARNWICK_EXECUTABLES tarnwick-dat)
endif()
install(TARGETS ${TARNWICK_EXECUTABLES} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT tarnwick_datTargets
    NAMESPACE tarnwick_dat::
    DESTINATION ${TARNWICK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarnwick_datConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tarnwick_datConfig.cmake
    INSTALL_DESTINATION ${TARNWICK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarnwick_datConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/tarnwick_datConfig.cmake
    ${PROJECT_BINARY_DIR}/tarnwick_datConfigVersion.cmake
    DESTINATION ${TARNWICK_CMAKE_DIR})

# The prefix is found from where the .pc file lies, so the installed tree
# works wherever it is installed (--prefix, or the Debian package's /usr).
file(RELATIVE_PATH TARNWICK_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
# The hash libraries are private to a shared library; the users of a static
# one link them too, also when they ask pkg-config for --libs alone.
if(BUILD_SHARED_LIBS)
    set(TARNWICK_PC_REQUIRES "fmt")
    set(TARNWICK_PC_REQUIRES_PRIVATE "libxxhash libcrypto")
else()
    set(TARNWICK_PC_REQUIRES "fmt libxxhash libcrypto")
    set(TARNWICK_PC_REQUIRES_PRIVATE "")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarnwick_dat.pc.in
    ${PROJECT_BINARY_DIR}/tarnwick_dat.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarnwick_dat.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installs into a scratch prefix and checks that the include tree holds
# exactly the interface and that each header compiles on its own.
if(TARNWICK_BUILD_TESTS)
    file(GLOB TARNWICK_WRITER_HEADERS RELATIVE ${PROJECT_SOURCE_DIR}/crates/tarnwick-dat/writer/include
        ${PROJECT_SOURCE_DIR}/crates/tarnwick-dat/writer/include/tarnwick_dat_writer/*.hpp)
    set(TARNWICK_INSTALLED_HEADERS ${TARNWICK_WRITER_HEADERS})
    foreach(header IN LISTS TARNWICK_DAT_PUBLIC_HEADERS)
        list(APPEND TARNWICK_INSTALLED_HEADERS tarnwick_dat/${header})
    endforeach()
    add_test(NAME installed_headers
        COMMAND ${CMAKE_COMMAND}
            -DBUILD_DIR=${PROJECT_BINARY_DIR}
            -DCXX=${CMAKE_CXX_COMPILER}
            "-DEXPECTED=${TARNWICK_INSTALLED_HEADERS}"
            -P ${PROJECT_SOURCE_DIR}/cmake/check_installed_headers.cmake)
endif()

set(CPACK_PACKAGE_NAME tarnwick-dat)
set(CPACK_PACKAGE_VENDOR "tarnwick_dat developers")
set(CPACK_PACKAGE_CONTACT "tarnwick_dat developers <tarnwick-dat@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfmt-dev (>= 9), libxxhash-dev, libssl-dev")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
