#!/usr/bin/env python3
"""check_toolchain_compare.py SBOM: tools/compare-toolchain against the
package's bill of materials, made here (no difference), and against copies
of it that name another version, a package not installed, nothing for an
executable, or are no bill of materials at all: each difference named,
once, and the status each case calls for."""
import json
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
tool = os.path.join(here, "..", "..", "tools", "compare-toolchain")


def run(path, *arches):
    done = subprocess.run([tool, path, *arches], capture_output=True, text=True, check=False)
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
    print("compare-toolchain: names every package whose version differs, and only the compared executables'")


if __name__ == "__main__":
    main()
