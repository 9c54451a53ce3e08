# Install rules: the library (static libraries, linked through the CMake target Vardenix::vardenix
# or the pkg-config module `vardenix`; the same as one shared library, libvardenix++.so.1, through
# Vardenix::vardenix_shared or `vardenix++`, installed by component/), the public headers, the
# `vardenix` command and the sample component (installed by scorers/).
#
#   <prefix>/include/vardenix/*.h
#   <prefix>/<libdir>/libvardenix_{component,checks,report,archive,hosting,platform}.a
#   <prefix>/<libdir>/libvardenix++.so.1 (and libvardenix.so.1, the C API's, installed by capi/)
#   <prefix>/<libdir>/cmake/Vardenix/VardenixConfig.cmake (+ version and targets files)
#   <prefix>/<libdir>/pkgconfig/vardenix.pc, vardenix++.pc
#   <prefix>/bin/vardenix
#
# The public headers need nothing from platform/, archive/ or hosting/ (envi_chk.h only forward-declares Platform), so the
# libraries' own include folders are not installed; hosts see include/vardenix alone.
include(CMakePackageConfigHelpers)

set(VARDENIX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vardenix)

# The one target hosts link; it pulls in the static libraries in order, and they their outside
# libraries (expat, libarchive, SQLite, zlib, dl, threads).
add_library(vardenix_library INTERFACE)
set_target_properties(vardenix_library PROPERTIES EXPORT_NAME vardenix)
target_link_libraries(vardenix_library INTERFACE vardenix_component)
target_include_directories(vardenix_library INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
add_library(Vardenix::vardenix ALIAS vardenix_library)

install(TARGETS vardenix_library vardenix_component vardenix_checks vardenix_report vardenix_archive vardenix_hosting vardenix_platform
  EXPORT VardenixTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vardenix DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT VardenixTargets NAMESPACE Vardenix:: DESTINATION ${VARDENIX_CMAKE_DIR})

# zlib is linked when the build found it; the installed package then asks for it too.
get_property(links_zlib GLOBAL PROPERTY VARDENIX_LINKS_ZLIB)
if(links_zlib)
  set(VARDENIX_FIND_ZLIB "find_dependency(ZLIB)")
  set(VARDENIX_PC_ZLIB " zlib")
else()
  set(VARDENIX_FIND_ZLIB "")
  set(VARDENIX_PC_ZLIB "")
endif()

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VardenixConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VardenixConfig.cmake INSTALL_DESTINATION ${VARDENIX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VardenixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VardenixConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/VardenixConfigVersion.cmake
  DESTINATION ${VARDENIX_CMAKE_DIR})

# vardenix.pc finds its prefix from its own place, so `cmake --install --prefix DIR` may move it.
set(pc_up "..")
string(REPLACE "/" ";" libdir_parts "${CMAKE_INSTALL_LIBDIR}")
foreach(part IN LISTS libdir_parts)
  string(APPEND pc_up "/..")
endforeach()
set(VARDENIX_PC_PREFIX "\${pcfiledir}/${pc_up}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/vardenix.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vardenix.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vardenix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET vardenix_shared)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/vardenix++.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vardenix++.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vardenix++.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
