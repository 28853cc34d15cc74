#!/usr/bin/env bash
# Checks what a Windows build of Hoister.exe asks of the loader.
# Usage: static_check.sh <objdump> <exe> [product]
# With "product", also the 32-bit product's exact DLL set and its 4.0 header
# versions, which the 95/98 and NT 4 loaders need.
set -u
objdump=$1 exe=$2 mode=${3:-}
failed=0
fail() { echo "FAIL: $*"; failed=1; }

headers=$("$objdump" -p "$exe") || { echo "FAIL: cannot read $exe"; exit 1; }
dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | sort -f | tr '\n' ' ')
echo "imports from: $dlls"

# The walk loads these itself; a link-time import would stop the program
# loading on the family that lacks them.
grep -qiE '^(PSAPI|VDMDBG)\.DLL$' <<<"${dlls// /$'\n'}" && fail "imports PSAPI.DLL or VDMDBG.DLL"
# Newer SDKs route the PSAPI calls to K32* entry points of KERNEL32.dll, which
# the older systems do not have either; nor has Windows 95 GetFileAttributesExA.
grep -E '^\s+[0-9a-f]+\s+[0-9]+\s+(CreateToolhelp32Snapshot|Process32First|Process32Next|K32[A-Za-z]+|EnumProcesses|EnumProcessModules|GetModuleFileNameExA|VDMEnumTaskWOWEx|GetFileAttributesExA)$' \
    <<<"$headers" && fail "imports a function that the walk must look up at run time"

if [ "$mode" = product ]; then
    [ "$dlls" = "KERNEL32.dll msvcrt.dll " ] || fail "imports from other DLLs than KERNEL32.dll and msvcrt.dll"
    "$objdump" -f "$exe" | grep -q 'file format pei-i386' || fail "not a 32-bit x86 program"
    for field in MajorSubsystemVersion:4 MinorSubsystemVersion:0 MajorOSystemVersion:4 \
        MinorOSystemVersion:0; do
        grep -qE "^${field%:*}\s+${field#*:}$" <<<"$headers" || fail "${field%:*} is not ${field#*:}"
    done
fi
exit $failed
