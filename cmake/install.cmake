# `cmake --install` layout: the flow and optimizer libraries, their headers
# under include/dticut/{flow,optimizer} (included as "optimizer/..." exactly
# as in this tree), the `dticut` command, and a CMake package, so that
#   find_package(dticut REQUIRED)
#   target_link_libraries(app PRIVATE dticut::optimizer)
# works against the prefix. The package carries no compile options of this
# build: dticut::build_options is linked as a build interface only.
include(CMakePackageConfigHelpers)

set(DTICUT_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/dticut)

install(TARGETS dticut_flow dticut_optimizer
  EXPORT dticutTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS dticut RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(dir flow optimizer)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dticut/${dir}
    FILES_MATCHING PATTERN "*.h")
endforeach()

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
