# The release zip: both Windows tools, the README, docs/ and the licence,
# with SHA256SUMS and a software bill of materials (sbom.spdx.json).
#   cmake --build --preset windows-x64 --target package
# The 64-bit build makes the 32-bit tool itself, in a build folder of its
# own, while the package is assembled.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(usqz_arch x64)
else()
  set(usqz_arch x86)
endif()
install(TARGETS UpdateServiceQZ RUNTIME DESTINATION ${usqz_arch})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs)

if(usqz_arch STREQUAL x64 AND CMAKE_CROSSCOMPILING)
  set(usqz_x86_build ${PROJECT_BINARY_DIR}/package-x86)
  install(CODE "
    execute_process(COMMAND \"${CMAKE_COMMAND}\" -S \"${PROJECT_SOURCE_DIR}\" -B \"${usqz_x86_build}\"
                            \"-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake\"
                            -DCMAKE_BUILD_TYPE=Release -DUSQZ_BUILD_TESTS=OFF
                    RESULT_VARIABLE configured OUTPUT_QUIET)
    if(NOT configured EQUAL 0)
      message(FATAL_ERROR \"cannot configure the 32-bit build\")
    endif()
    execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${usqz_x86_build}\" --target UpdateServiceQZ
                    RESULT_VARIABLE built OUTPUT_QUIET)
    if(NOT built EQUAL 0)
      message(FATAL_ERROR \"cannot build the 32-bit tool\")
    endif()
  ")
  install(PROGRAMS ${usqz_x86_build}/UpdateServiceQZ.exe DESTINATION x86)
endif()
# Last: both tools are in place; then what records the package as signed.
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/SignRelease.cmake)
install(CODE "set(USQZ_VERSION \"${PROJECT_VERSION}\")\nset(USQZ_SOURCE_DATE_EPOCH \"${USQZ_SOURCE_DATE_EPOCH}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/ReleaseManifest.cmake)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME UpdateServiceQZ)
set(CPACK_PACKAGE_VENDOR "The UpdateServiceQZ developers")
set(CPACK_PACKAGE_FILE_NAME UpdateServiceQZ-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
