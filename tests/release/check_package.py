#!/usr/bin/env python3
"""check_package.py FOLDER: the unpacked release package's SHA256SUMS and
sbom.spdx.json match its files: every file summed, every sum right; the
bill of materials an SPDX 2.3 document naming each executable with its
SHA-256, and what is linked into it with the Debian versions installed
here, each labelled with the architecture of the Debian package installed
(a cross compiler for i686 is an amd64 package), not the target's."""
import hashlib
import json
import os
import re
import subprocess
import sys


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as data:
        for block in iter(lambda: data.read(65536), b""):
            digest.update(block)
    return digest.hexdigest()


def fail(message):
    print("package: %s" % message)
    sys.exit(1)


def main():
    root = sys.argv[1]
    files = sorted(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                   for folder, _, names in os.walk(root) for name in names)
    listed = {}
    with open(os.path.join(root, "SHA256SUMS"), encoding="utf-8") as sums:
        for line in sums:
            found = re.fullmatch(r"([0-9a-f]{64})  (\S.*)\n", line)
            if not found:
                fail("SHA256SUMS: not sha256sum's format: %r" % line)
            listed[found.group(2)] = found.group(1)
    expected = [name for name in files if name != "SHA256SUMS"]
    if sorted(listed) != expected:
        fail("SHA256SUMS lists %s, the package holds %s" % (sorted(listed), expected))
    for name, digest in listed.items():
        if sha256(os.path.join(root, name)) != digest:
            fail("SHA256SUMS: %s does not match" % name)

    with open(os.path.join(root, "sbom.spdx.json"), encoding="utf-8") as text:
        sbom = json.load(text)
    for key, value in (("spdxVersion", "SPDX-2.3"), ("dataLicense", "CC0-1.0"), ("SPDXID", "SPDXRef-DOCUMENT")):
        if sbom.get(key) != value:
            fail("sbom: %s is %r" % (key, sbom.get(key)))
    for key in ("name", "documentNamespace", "creationInfo", "packages", "relationships"):
        if key not in sbom:
            fail("sbom: no %s" % key)
    packages = {package["SPDXID"]: package for package in sbom["packages"]}
    if len(packages) != len(sbom["packages"]) or not all(re.fullmatch(r"SPDXRef-[A-Za-z0-9.-]+", i) for i in packages):
        fail("sbom: SPDXIDs not unique or not well formed")
    for relation in sbom["relationships"]:
        for end in (relation["spdxElementId"], relation["relatedSpdxElement"]):
            if end != "SPDXRef-DOCUMENT" and end not in packages:
                fail("sbom: a relationship names %s, which is not there" % end)
    for arch, triplet in (("x64", "x86-64"), ("x86", "i686")):
        exe = "%s/UpdateServiceQZ.exe" % arch
        tool = [p for p in packages.values() if p.get("packageFileName") == exe]
        if len(tool) != 1 or tool[0]["checksums"] != [{"algorithm": "SHA256", "checksumValue": sha256(os.path.join(root, exe))}]:
            fail("sbom: %s is not named with its SHA-256" % exe)
        linked = {packages[r["relatedSpdxElement"]]["name"]: packages[r["relatedSpdxElement"]]
                  for r in sbom["relationships"]
                  if r["spdxElementId"] == tool[0]["SPDXID"] and r["relationshipType"] == "STATIC_LINK"}
        for needed in ("g++-mingw-w64-%s-posix" % triplet, "mingw-w64-%s-dev" % triplet, "nlohmann-json3-dev"):
            # A line for each architecture it is installed for.
            lines = subprocess.run(["dpkg-query", "-W", "-f=${Architecture} ${Version}\n", needed],
                                   stdout=subprocess.PIPE, check=False).stdout.decode().splitlines()
            installed = dict(line.split(" ", 1) for line in lines if " " in line)
            named = linked.get(needed, {})
            purl = "".join(ref["referenceLocator"] for ref in named.get("externalRefs", [])
                           if ref.get("referenceType") == "purl")
            arch = purl.rpartition("?arch=")[2] if "?arch=" in purl else None
            if arch not in installed or named.get("versionInfo") != installed[arch]:
                fail("sbom: %s links %s %s for %s, %s is installed" % (exe, needed, named.get("versionInfo"), arch,
                                                                        installed))
    print("package: SHA256SUMS matches its %d files; sbom.spdx.json names both executables and what is "
          "linked into them" % len(listed))


if __name__ == "__main__":
    main()
