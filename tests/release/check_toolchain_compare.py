#!/usr/bin/env python3
"""check_toolchain_compare.py SBOM: tools/compare-toolchain against the
package's bill of materials, made here (no difference), and against copies
of it that name another version, a package not installed, nothing for an
executable, or are no bill of materials at all: each difference named,
once, and the status each case calls for. Then, over a dpkg-query of its
own, a multi-arch machine: a package installed for amd64 and i386 is
compared in the architecture the bill of materials names."""
import json
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
tool = os.path.join(here, "..", "..", "tools", "compare-toolchain")


def run(path, *arches, env=None):
    done = subprocess.run([tool, path, *arches], capture_output=True, text=True, check=False, env=env)
    return done.returncode, done.stdout.splitlines()


def fail(message):
    print("compare-toolchain: %s" % message)
    sys.exit(1)


def package(sbom, name, arch):
    return next(p for p in sbom["packages"] if p.get("name") == name and p["SPDXID"].startswith("SPDXRef-Debian-" + arch))


def main():
    with open(sys.argv[1], encoding="utf-8") as text:
        sbom = json.load(text)
    status, lines = run(sys.argv[1], "x64", "x86")
    if status != 0 or len(lines) != 1 or "are installed here, in the same versions" not in lines[0]:
        fail("the package's own bill of materials: status %d, %s" % (status, lines))

    with tempfile.TemporaryDirectory() as folder:
        def written(text):
            descriptor, path = tempfile.mkstemp(suffix=".json", dir=folder)
            with os.fdopen(descriptor, "w", encoding="utf-8") as out:
                out.write(text)
            return path

        def doctored(change):
            copy = json.loads(json.dumps(sbom))
            change(copy)
            return written(json.dumps(copy))

        compiler = package(sbom, "g++-mingw-w64-x86-64-posix", "x64")
        runtime = package(sbom, "mingw-w64-i686-dev", "x86")

        def other_versions(copy):
            package(copy, "g++-mingw-w64-x86-64-posix", "x64")["versionInfo"] += "+other"
            package(copy, "mingw-w64-i686-dev", "x86")["name"] = "mingw-w64-i686-dev-gone"
            for arch in ("x64", "x86"):
                package(copy, "nlohmann-json3-dev", arch)["versionInfo"] = "NOASSERTION"

        path = doctored(other_versions)
        expected = [
            "toolchain: 3 of the 9 Debian packages the bill of materials names differ from the ones installed here:",
            "  g++-mingw-w64-x86-64-posix (x64): %s+other in the bill of materials, %s installed here"
            % (compiler["versionInfo"], compiler["versionInfo"]),
            "  mingw-w64-i686-dev-gone (x86): %s in the bill of materials, not installed here" % runtime["versionInfo"],
            "  nlohmann-json3-dev (x64, x86): no version in the bill of materials, %s installed here"
            % package(sbom, "nlohmann-json3-dev", "x64")["versionInfo"],
            "toolchain: a build here may differ from the release for that alone; install those versions to compare",
        ]
        status, lines = run(path, "x64", "x86")
        if (status, lines) != (1, expected):
            fail("other versions: status %d, %s; expected 1, %s" % (status, lines, expected))
        # Only the packages of the executables compared count.
        status, lines = run(path, "x64")
        if status != 1 or len(lines) != 4 or any("i686" in line for line in lines):
            fail("other versions, x64 alone: status %d, %s" % (status, lines))

        def no_x86(copy):
            copy["packages"] = [p for p in copy["packages"] if p["SPDXID"] != "SPDXRef-UpdateServiceQZ-x86"]

        for name, path, arches, first in (
                ("no x86 executable", doctored(no_x86), ("x64", "x86"), "does not describe x86/UpdateServiceQZ.exe"),
                ("no relationships", doctored(lambda copy: copy.update(relationships=[])), ("x64",),
                 "names no Debian package for x64/UpdateServiceQZ.exe"),
                ("a list", written("[]"), ("x64",), "is not a bill of materials"),
                ("not JSON", written("{"), ("x64",), "cannot read the bill of materials"),
                ("no file", os.path.join(folder, "none.json"), ("x64",), "cannot read the bill of materials")):
            status, lines = run(path, *arches)
            if status != 2 or len(lines) != 1 or first not in lines[0]:
                fail("%s: status %d, %s" % (name, status, lines))
    multi_arch()
    print("compare-toolchain: names every package whose version differs, and only the compared executables'; "
          "on a multi-arch machine, in the architecture the bill of materials names")


# A package installed for amd64 and for i386, as dpkg-query shows it: a line
# each, and one more for a removed architecture's leftover configuration.
FAKE_DPKG_QUERY = """#!/bin/sh
case "$3" in
  tool-both) printf 'installed\\tamd64\\t2.0\\ninstalled\\ti386\\t1.0\\nconfig-files\\tarmhf\\t0.9\\n' ;;
  tool-same) printf 'installed\\ti386\\t3.0\\ninstalled\\tamd64\\t3.0\\n' ;;
  tool-i386) printf 'installed\\ti386\\t4.0\\n' ;;
  *) echo "dpkg-query: no packages found matching $3" >&2; exit 1 ;;
esac
"""


def multi_arch():
    def part(name, version, arch):
        purl = "pkg:deb/debian/%s@%s" % (name, version) + ("?arch=%s" % arch if arch else "")
        return {"SPDXID": "SPDXRef-Debian-x86-%s-%s" % (name, arch), "name": name, "versionInfo": version,
                "supplier": "Organization: Debian",
                "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                                  "referenceLocator": purl}]}

    cases = (
        # (name, version, arch named: the line compared; the difference named, if any)
        ("the architecture named, of two", [part("tool-both", "2.0", "amd64")], []),
        ("the other architecture named, of two", [part("tool-both", "1.0", "i386")], []),
        ("an older version in the architecture named", [part("tool-both", "1.9", "amd64")],
         ["  tool-both (x86): 1.9 in the bill of materials, 2.0 installed here"]),
        ("an architecture not installed", [part("tool-both", "2.0", "arm64")],
         ["  tool-both (x86): 2.0 in the bill of materials, 2.0 (amd64), 1.0 (i386) installed here"]),
        ("none named, two versions", [part("tool-both", "2.0", None)],
         ["  tool-both (x86): 2.0 in the bill of materials, 2.0 (amd64), 1.0 (i386) installed here"]),
        ("none named, one version for both", [part("tool-same", "3.0", None)], []),
        ("the cross compiler named amd64, installed for i386 only", [part("tool-i386", "4.0", "amd64")],
         ["  tool-i386 (x86): 4.0 in the bill of materials, 4.0 (i386) installed here"]),
    )
    with tempfile.TemporaryDirectory() as folder:
        fake = os.path.join(folder, "dpkg-query")
        with open(fake, "w", encoding="utf-8") as out:
            out.write(FAKE_DPKG_QUERY)
        os.chmod(fake, 0o755)
        env = dict(os.environ, PATH=folder + os.pathsep + os.environ.get("PATH", ""))
        for what, parts, differences in cases:
            sbom = {"packages": [{"SPDXID": "SPDXRef-UpdateServiceQZ-x86"}] + parts,
                    "relationships": [{"spdxElementId": "SPDXRef-UpdateServiceQZ-x86", "relationshipType": "STATIC_LINK",
                                       "relatedSpdxElement": p["SPDXID"]} for p in parts]}
            path = os.path.join(folder, "sbom.json")
            with open(path, "w", encoding="utf-8") as out:
                json.dump(sbom, out)
            status, lines = run(path, "x86", env=env)
            if differences:
                expected = (1, ["toolchain: 1 of the 1 Debian packages the bill of materials names differ from the "
                                "ones installed here:"] + differences +
                            ["toolchain: a build here may differ from the release for that alone; install those "
                             "versions to compare"])
            else:
                expected = (0, ["toolchain: the 1 Debian packages the bill of materials names for x86 are installed "
                                "here, in the same versions"])
            if (status, lines) != expected:
                fail("multi-arch, %s: status %d, %s; expected %s" % (what, status, lines, expected))


if __name__ == "__main__":
    main()
