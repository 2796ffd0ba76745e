# The package's own record, written last (after signing): an SPDX 2.3
# software bill of materials, sbom.spdx.json, naming what each executable
# was built from and with (the compiler, the C++ standard library and the
# MinGW-w64 runtime linked into it, the JSON library compiled into it,
# the linker), with the Debian package versions of this build; then
# SHA256SUMS, in sha256sum's format, for every other file of the package.
# Set by the package target: USQZ_VERSION, USQZ_SOURCE_DATE_EPOCH.

set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
find_program(dpkg_query dpkg-query)

find_program(dpkg_program dpkg)
set(native_arch "")
if(dpkg_program)
  execute_process(COMMAND "${dpkg_program}" --print-architecture OUTPUT_VARIABLE native_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

# The installed version of a Debian package and the architecture of the
# package installed (the machine it runs on, amd64, or all: a cross
# compiler for i686 is an amd64 package), or NOASSERTION and nothing. A
# multi-arch machine may have it installed for more than one
# architecture, a line each: the machine's own (or all) is the one the
# build used, else the first.
function(debian_package package version_out arch_out)
  set(version NOASSERTION)
  set(arch "")
  if(dpkg_query)
    execute_process(COMMAND "${dpkg_query}" -W "-f=\${db:Status-Status} \${Architecture} \${Version}\n" "${package}"
                    OUTPUT_VARIABLE found RESULT_VARIABLE failed ERROR_QUIET)
    if(failed EQUAL 0)
      string(REPLACE "\n" ";" lines "${found}")
      foreach(line IN LISTS lines)
        if(NOT line MATCHES "^installed ([^ ]+) (.+)$")
          continue()
        endif()
        if(version STREQUAL NOASSERTION OR CMAKE_MATCH_1 STREQUAL native_arch OR CMAKE_MATCH_1 STREQUAL all)
          set(version "${CMAKE_MATCH_2}")
          set(arch "${CMAKE_MATCH_1}")
          if(arch STREQUAL native_arch OR arch STREQUAL all)
            break()
          endif()
        endif()
      endforeach()
    endif()
  endif()
  set(${version_out} "${version}" PARENT_SCOPE)
  set(${arch_out} "${arch}" PARENT_SCOPE)
endfunction()

# A package URL's version: what it may hold as it is, the rest escaped.
function(purl_escape text out)
  string(REPLACE "%" "%25" text "${text}")
  string(REPLACE "+" "%2B" text "${text}")
  string(REPLACE ":" "%3A" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(ENV{SOURCE_DATE_EPOCH} "${USQZ_SOURCE_DATE_EPOCH}")
string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)

set(packages "")
set(relationships "")
set(executables "")
foreach(arch x64 x86)
  set(exe "${root}/${arch}/UpdateServiceQZ.exe")
  if(NOT EXISTS "${exe}")
    continue()
  endif()
  file(SHA256 "${exe}" hash)
  string(APPEND executables "${hash}")
  if(arch STREQUAL x64)
    set(triplet x86-64)
  else()
    set(triplet i686)
  endif()
  set(id "SPDXRef-UpdateServiceQZ-${arch}")
  string(APPEND packages "
    {
      \"SPDXID\": \"${id}\",
      \"name\": \"UpdateServiceQZ (${arch})\",
      \"versionInfo\": \"${USQZ_VERSION}\",
      \"packageFileName\": \"${arch}/UpdateServiceQZ.exe\",
      \"downloadLocation\": \"NOASSERTION\",
      \"filesAnalyzed\": false,
      \"checksums\": [{\"algorithm\": \"SHA256\", \"checksumValue\": \"${hash}\"}],
      \"primaryPackagePurpose\": \"APPLICATION\",
      \"licenseConcluded\": \"NOASSERTION\",
      \"licenseDeclared\": \"NOASSERTION\",
      \"copyrightText\": \"NOASSERTION\"
    },")
  string(APPEND relationships "
    {\"spdxElementId\": \"SPDXRef-DOCUMENT\", \"relationshipType\": \"DESCRIBES\", \"relatedSpdxElement\": \"${id}\"},")
  # What goes into it, and how: linked in, compiled in, or a tool of its build.
  foreach(part
      "g++-mingw-w64-${triplet}-posix|STATIC_LINK|the C++ compiler (GCC) and the C++ standard library (libstdc++), linked in statically"
      "gcc-mingw-w64-${triplet}-posix-runtime|STATIC_LINK|GCC's runtime (libgcc), linked in statically"
      "mingw-w64-${triplet}-dev|STATIC_LINK|the MinGW-w64 runtime: its start-up code, winpthreads and the import libraries of KERNEL32, ADVAPI32 and msvcrt"
      "nlohmann-json3-dev|STATIC_LINK|nlohmann/json, header-only, compiled in to read release files"
      "binutils-mingw-w64-${triplet}|BUILD_TOOL_OF|the linker and the resource compilers (ld, windres, windmc)")
    string(REPLACE "|" ";" part "${part}")
    list(GET part 0 name)
    list(GET part 1 relation)
    list(GET part 2 what)
    debian_package("${name}" version package_arch)
    purl_escape("${name}" purl_name)
    purl_escape("${version}" purl_version)
    string(MAKE_C_IDENTIFIER "${name}" name_id)
    string(REPLACE "_" "-" name_id "${name_id}")
    set(part_id "SPDXRef-Debian-${arch}-${name_id}")
    # The purl's arch is the Debian package's own, as installed; the
    # Windows target an executable is built for is in the names (x86-64,
    # i686). Not installed: no arch to tell.
    set(purl_arch "")
    if(NOT package_arch STREQUAL "")
      set(purl_arch "?arch=${package_arch}")
    endif()
    string(APPEND packages "
    {
      \"SPDXID\": \"${part_id}\",
      \"name\": \"${name}\",
      \"versionInfo\": \"${version}\",
      \"supplier\": \"Organization: Debian\",
      \"downloadLocation\": \"NOASSERTION\",
      \"filesAnalyzed\": false,
      \"externalRefs\": [{\"referenceCategory\": \"PACKAGE-MANAGER\", \"referenceType\": \"purl\", \"referenceLocator\": \"pkg:deb/debian/${purl_name}@${purl_version}${purl_arch}\"}],
      \"comment\": \"${what}\",
      \"licenseConcluded\": \"NOASSERTION\",
      \"licenseDeclared\": \"NOASSERTION\",
      \"copyrightText\": \"NOASSERTION\"
    },")
    if(relation STREQUAL BUILD_TOOL_OF)
      string(APPEND relationships "
    {\"spdxElementId\": \"${part_id}\", \"relationshipType\": \"BUILD_TOOL_OF\", \"relatedSpdxElement\": \"${id}\"},")
    else()
      string(APPEND relationships "
    {\"spdxElementId\": \"${id}\", \"relationshipType\": \"STATIC_LINK\", \"relatedSpdxElement\": \"${part_id}\"},")
    endif()
  endforeach()
endforeach()
string(REGEX REPLACE ",$" "" packages "${packages}")
string(REGEX REPLACE ",$" "" relationships "${relationships}")
# Named after what it describes: the same executables, the same name.
string(SHA256 namespace_hash "${executables}")
file(WRITE "${root}/sbom.spdx.json" "{
  \"spdxVersion\": \"SPDX-2.3\",
  \"dataLicense\": \"CC0-1.0\",
  \"SPDXID\": \"SPDXRef-DOCUMENT\",
  \"name\": \"UpdateServiceQZ-${USQZ_VERSION}-windows\",
  \"documentNamespace\": \"https://spdx.org/spdxdocs/UpdateServiceQZ-${USQZ_VERSION}-windows-${namespace_hash}\",
  \"creationInfo\": {
    \"created\": \"${created}\",
    \"creators\": [\"Tool: UpdateServiceQZ package (CMake ${CMAKE_VERSION})\"]
  },
  \"packages\": [${packages}
  ],
  \"relationships\": [${relationships}
  ]
}
")

file(GLOB_RECURSE files RELATIVE "${root}" "${root}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
  file(SHA256 "${root}/${file}" hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE "${root}/SHA256SUMS" "${sums}")
message(STATUS "UpdateServiceQZ: SHA256SUMS and sbom.spdx.json written")
