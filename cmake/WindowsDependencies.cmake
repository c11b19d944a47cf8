# The dependencies of the Windows build, from VANTREL_WINDOWS_DEPS (see
# cmake/mingw-w64-x86_64.cmake): ACE built for mingw-w64 as a DLL, the
# header-only Boost, CLI11 and nlohmann_json of the build machine linked under
# include/, and GoogleTest's package configuration under lib/cmake.
if(NOT VANTREL_WINDOWS_DEPS OR NOT EXISTS "${VANTREL_WINDOWS_DEPS}/lib/libACE.dll.a")
  message(FATAL_ERROR "VANTREL_WINDOWS_DEPS must name the prefix made by scripts/windows-build-and-test")
endif()
set(VANTREL_WINDOWS_INCLUDE "${VANTREL_WINDOWS_DEPS}/include")

# The target name matches the one pkg-config gives on Linux, so that every
# library links ACE the same way on both systems. The programs and both DLLs
# share the one libACE.dll, so a process has one copy of ACE's state (its
# object manager, singletons, thread-specific storage), set up by each program
# before main (platform/windows/AceLifetime.cpp). ACE's inline functions are
# compiled into our code as into ACE's own, so our code calls the Windows
# libraries of its sockets and networking too; the thread-safe mingw start-up
# code (-mthreads) as ACE was built with.
add_library(PkgConfig::ACE SHARED IMPORTED)
set_target_properties(PkgConfig::ACE PROPERTIES
  IMPORTED_LOCATION "${VANTREL_WINDOWS_DEPS}/bin/libACE.dll"
  IMPORTED_IMPLIB "${VANTREL_WINDOWS_DEPS}/lib/libACE.dll.a"
  INTERFACE_INCLUDE_DIRECTORIES "${VANTREL_WINDOWS_INCLUDE}"
  INTERFACE_COMPILE_DEFINITIONS "__ACE_INLINE__"
  INTERFACE_COMPILE_OPTIONS "-mthreads"
  INTERFACE_LINK_OPTIONS "-mthreads"
  INTERFACE_LINK_LIBRARIES "ws2_32;mswsock;iphlpapi;wsock32;netapi32")

set(Boost_NO_BOOST_CMAKE ON)
set(Boost_INCLUDE_DIR "${VANTREL_WINDOWS_INCLUDE}" CACHE PATH "Boost headers for the Windows build")
set(CLI11_DIR "${CMAKE_CURRENT_LIST_DIR}/windows" CACHE PATH "CLI11 for the Windows build")
set(nlohmann_json_DIR "${CMAKE_CURRENT_LIST_DIR}/windows" CACHE PATH "nlohmann_json for the Windows build")
set(GTest_DIR "${VANTREL_WINDOWS_DEPS}/lib/cmake/GTest" CACHE PATH "GoogleTest for the Windows build")

# ACE and the C++ run-time DLLs of mingw-w64 go beside the programs, so that
# the build folder runs as it is, under Wine or copied to a Windows machine.
file(COPY "${VANTREL_WINDOWS_DEPS}/bin/libACE.dll" DESTINATION "${PROJECT_BINARY_DIR}/bin")
install(FILES "${VANTREL_WINDOWS_DEPS}/bin/libACE.dll" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
    OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${dll_path}" OR NOT EXISTS "${dll_path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
  endif()
  file(COPY "${dll_path}" DESTINATION "${PROJECT_BINARY_DIR}/bin")
  install(FILES "${dll_path}" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
endforeach()

# Every program carries the manifest cmake/windows/vantrel.manifest
# (long paths, UTF-8 as the ANSI code page): vantrel_manifest(TARGET).
enable_language(RC)
set(VANTREL_MANIFEST "${CMAKE_CURRENT_LIST_DIR}/windows/vantrel.manifest")
configure_file("${CMAKE_CURRENT_LIST_DIR}/windows/vantrel-manifest.rc.in" "${PROJECT_BINARY_DIR}/vantrel-manifest.rc" @ONLY)
function(vantrel_manifest target)
  target_sources(${target} PRIVATE "${PROJECT_BINARY_DIR}/vantrel-manifest.rc")
  set_property(SOURCE "${PROJECT_BINARY_DIR}/vantrel-manifest.rc" APPEND PROPERTY OBJECT_DEPENDS "${VANTREL_MANIFEST}")
endfunction()
