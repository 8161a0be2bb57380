#!/bin/bash
# What Windows reads from an exe before running it, from the file alone (with binutils' objdump):
#
#   check_manifest.sh OBJDUMP EXE MACHINE        MACHINE: i686 or x86_64
#
# EXE must be a console program for MACHINE whose resource 1 of type 24 (RT_MANIFEST), in its only
# language, asks for requireAdministrator without uiAccess, names Windows Vista, 7, 8, 8.1 and
# 10 as supported, and is aware of long paths.
set -u
objdump=$1 exe=$2
fail() { echo "$exe: $*"; exit 1; }
declare -A format=([i686]=pei-i386 [x86_64]=pei-x86-64)
headers=$("$objdump" -p "$exe") || fail "no PE file that $objdump reads"
grep -q "file format ${format[$3]}\$" <<< "$headers" || fail "not built for $3"
grep -qE '^Subsystem\s+00000003\s' <<< "$headers" || fail "not a console program"
# Address and size of each leaf under type 24, name 1 (an entry's depth is its indent).
leaf=($(awk '/Entry:/ { id[index($0, "Entry")] = $4 }
  /Leaf:/ && id[7] == "0x000018," && id[9] == "0x000001," { print $4, $6 }' <<< "$headers" | tr -d ,))
((${#leaf[@]} == 2)) || fail "not one resource 1 of type 24 (RT_MANIFEST): ${leaf[*]}"
base=0x$(awk '$1 == "ImageBase" { print $2 }' <<< "$headers")
read -r vma at < <("$objdump" -h "$exe" | awk '$2 == ".rsrc" { print "0x" $4, "0x" $6 }')
manifest=$(tail -c +$((at + base + leaf[0] - vma + 1)) "$exe" | head -c $((leaf[1])))
# The XML without comments, each run of white space one blank.
xml=$(sed -zE 's/<!--([^-]|-[^-])*-->//g' <<< "$manifest" | tr -s ' \t\r\n' ' ')
root='^(<\?xml[^>]*\?>)? ?<assembly xmlns="urn:schemas-microsoft-com:asm.v1"[ >]'
level='<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"> ?<security> ?<requestedPrivileges> ?'
level+='<requestedExecutionLevel level="requireAdministrator" uiAccess="false" ?/>'
os='<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"> ?<application>'
os+='( ?<supportedOS Id="[^"]*" ?/>)* ?</application>'
[[ $xml =~ $root ]] || fail "no asm.v1 assembly: $xml"
[[ $xml =~ $level && $(grep -o requestedExecutionLevel <<< "$xml" | wc -l) == 1 ]] ||
  fail "not one requestedExecutionLevel, requireAdministrator without uiAccess"
long='<application xmlns="urn:schemas-microsoft-com:asm.v3"> ?<windowsSettings> ?<longPathAware '
long+='xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>'
[[ $xml =~ $long ]] || fail "not longPathAware"
[[ $xml =~ $os ]] || fail "no supportedOS list"
ids=$(grep -o '{[^}]*}' <<< "${BASH_REMATCH[0]}" | tr A-F a-f | sort | tr '\n' ' ')
# Windows 8.1, 10 (and 11), 7, 8, Vista
[ "$ids" = "{1f676c76-80e1-4239-95bb-83d0f6d0da78} {35138b9a-5d96-4fbd-8e2d-a2440225f93a} \
{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38} {8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a} \
{e2011457-1546-43c5-a5fe-008deee3d3f0} " ] || fail "supportedOS $ids"
echo "$exe: as wanted"
