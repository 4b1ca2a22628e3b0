# `cmake --install` layout: the flow and optimizer libraries, their headers
# under include/dticut/{flow,optimizer} (included as "optimizer/..." exactly
# as in this tree), the `dticut` command, and a CMake package, so that
#   find_package(dticut REQUIRED)
#   target_link_libraries(app PRIVATE dticut::optimizer)
# works against the prefix. The package carries no compile options of this
# build: dticut::build_options is linked as a build interface only.
include(CMakePackageConfigHelpers)

set(DTICUT_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dticut)

# Each library names its public headers (PUBLIC_HEADER, in its own
# CMakeLists.txt), so headers its sources keep to themselves stay out.
foreach(dir flow optimizer)
  install(TARGETS dticut_${dir}
    EXPORT dticutTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dticut/${dir})
endforeach()
install(TARGETS dticut RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT dticutTargets
  NAMESPACE dticut::
  DESTINATION ${DTICUT_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/dticutConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dticutConfig.cmake
  INSTALL_DESTINATION ${DTICUT_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dticutConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/dticutConfig.cmake
  ${PROJECT_BINARY_DIR}/dticutConfigVersion.cmake
  DESTINATION ${DTICUT_PACKAGE_DIR})
