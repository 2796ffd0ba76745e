#!/bin/sh
# check_windows_executable.sh OBJDUMP EXE VERSION BITS
# Fails unless the built tool is what a clean Windows machine and a careful
# administrator expect: imports from system DLLs only, a manifest asking for
# no elevation and no code page of its own, a version resource, ASLR and DEP
# (and high-entropy ASLR on 64-bit), and no symbols.
set -u
objdump=$1 exe=$2 version=$3 bits=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

headers=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }

imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
unexpected=$(printf '%s\n' "$imports" | tr ' ' '\n' | grep -v -x -e '' -e KERNEL32.DLL -e ADVAPI32.DLL -e MSVCRT.DLL)
[ -z "$unexpected" ] && pass "imports only $imports" || fail "imports from $unexpected"

for flag in DYNAMIC_BASE NX_COMPAT; do
  printf '%s\n' "$headers" | grep -q "^[[:space:]]*$flag\$" && pass "$flag" || fail "$flag missing"
done
if [ "$bits" = 64 ]; then
  printf '%s\n' "$headers" | grep -q "^[[:space:]]*HIGH_ENTROPY_VA\$" && pass HIGH_ENTROPY_VA || fail "HIGH_ENTROPY_VA missing"
fi

# Resource types at the top of the resource tree: 0x10 version, 0x18 manifest.
resources=$(printf '%s\n' "$headers" | sed -n '/The .rsrc Resource Directory/,/Resources start/p')
printf '%s\n' "$resources" | grep -q '^[0-9a-f]*   Entry: ID: 0x000010,' && pass "version resource" || fail "no version resource"
printf '%s\n' "$resources" | grep -q '^[0-9a-f]*   Entry: ID: 0x000018,' && pass "manifest resource" || fail "no manifest resource"

text=$(strings -a "$exe")
printf '%s\n' "$text" | grep -q 'requestedExecutionLevel level="asInvoker"' && pass "asInvoker" || fail "manifest lacks asInvoker"
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  printf '%s\n' "$text" | grep -q "supportedOS Id=\"{$os}\"" || fail "manifest lacks supportedOS $os"
done
printf '%s\n' "$text" | grep -q '<activeCodePage' && fail "manifest sets a code page of its own" || pass "no activeCodePage"

wide=$(strings -a -e l "$exe")
printf '%s\n' "$wide" | grep -q -x 'OriginalFilename' && printf '%s\n' "$wide" | grep -q -x 'UpdateServiceQZ.exe' &&
  printf '%s\n' "$wide" | grep -q -x "$version" && pass "version $version" || fail "version strings missing"

"$objdump" --syms "$exe" | grep -q 'no symbols' && pass "stripped" || fail "not stripped"

[ $failures -eq 0 ] && echo "passed" || { echo "$failures failed"; exit 1; }
