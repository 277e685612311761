#!/bin/sh
# Makes wine-export.reg and wine-other.reg: keys created in a scratch Wine
# prefix and written back by Wine's own `reg export` (UTF-16LE, wrapped hex).
# Usage: make_fixture.sh BUILD_DIR   (the prefix goes to BUILD_DIR/wineprefix)
set -e
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="$1/wineprefix" WINEDEBUG=-all
wine=${WINE:-/usr/lib/wine/wine64}
svc='HKLM\System\CurrentControlSet\Services'
add() { "$wine" reg add "$@" /f >/dev/null; }
"$wine" reg delete "$svc\\DsCapture" /f >/dev/null 2>&1 || true
"$wine" reg delete "$svc\\DsOther" /f >/dev/null 2>&1 || true
"$wine" reg delete "$svc\\DsUnlisted" /f >/dev/null 2>&1 || true
add "$svc\\DsCapture" /v Type /t REG_DWORD /d 32
add "$svc\\DsCapture" /v Start /t REG_DWORD /d 2
add "$svc\\DsCapture" /v ImagePath /t REG_EXPAND_SZ /d '%SystemRoot%\System32\svchost.exe -k netsvcs'
add "$svc\\DsCapture" /v DisplayName /t REG_SZ /d 'Capture "test" C:\Windows\'
add "$svc\\DsCapture" /v DependOnService /t REG_MULTI_SZ /d 'RpcSs\0EventSystem'
add "$svc\\DsCapture" /v FailureActions /t REG_BINARY /d 80510100000000000000000003000000140000000100000060ea000001000000c0d401000000000000000000
add "$svc\\DsCapture" /v 1008 /t REG_QWORD /d 0x01cd385cd17aa096
add "$svc\\DsCapture" /ve /d 'default value'
# Key names in another letter case than the table's.
add "$svc\\dscapture\\SECURITY" /v Security /t REG_BINARY /d 0100048014000000200000000000000000000000010100000000000512000000010100000000000512000000
add "$svc\\DsCapture\\Rules" /v R1 /d 'v2.10|Action=Block|Dir=In|App=%SystemRoot%\system32\a.exe|'
add "$svc\\DsCapture\\Rules" /v R3 /d 'v2.10|Action=Block|Dir=Out|App=%SystemRoot%\system32\a.exe|'
add "$svc\\DsCapture\\Rules" /v R4 /d 'v2.10|Action=Block|Dir=In|App=%SystemRoot%\system32\b.exe|'
add "$svc\\DsCapture\\Rules" /v R5 /d 'v2.10|Action=Block|Dir=Out|App=%SystemRoot%\system32\b.exe|'
add "$svc\\DsCapture\\Given" /v G /d 'changed'
add "$svc\\DsOther" /v Type /t REG_DWORD /d 16
add "$svc\\DsUnlisted" /v Type /t REG_DWORD /d 16
"$wine" reg export "$svc\\DsCapture" "$here/wine-export.reg" /y >/dev/null
# Another key, named in other letter cases.
"$wine" reg export 'HKLM\SYSTEM\CURRENTCONTROLSET\services\dsother' "$here/wine-other.reg" /y >/dev/null
"$wine" reg export "$svc\\DsUnlisted" "$here/wine-unlisted.reg" /y >/dev/null
