#!/bin/sh
# monitorctl as an administrator uses it: from the unpacked release bundle,
# in a new Wine prefix, whose spooler loads a monitor DLL from the system
# folder when it is added and calls its InitializePrintMonitor.
# The win32 bundle is for 32-bit Windows: its prefix is a 32-bit one.
# Usage: test-monitorctl.sh WINE-RUN BUNDLE-DIR FailMon.dll VERSION win64|win32
set -u

run=$1 bundle=$2 failmon=$3 version=$4 width=$5
ctl=$bundle/monitorctl.exe
work=$(mktemp -d)
WINEPREFIX=$work/wine
export WINEPREFIX
if [ "$width" = win32 ]; then
    WINEARCH=win32
    export WINEARCH
    # The other width, as a PE header's machine field (x64), and both names.
    other='\144\206' refusal='a 64-bit (x64) DLL, but the spooler is 32-bit (x86)'
else
    other='\114\001' refusal='a 32-bit (x86) DLL, but the spooler is 64-bit (x64)'
fi
system32=$WINEPREFIX/drive_c/windows/system32
passed=0 failed=0
out=$work/out err=$work/err
trap '"$run" --stop >/dev/null 2>&1; rm -rf "$work"' EXIT

# Runs monitorctl; its output (line ends as on Windows) in $out and $err.
ctl() {
    "$run" "$ctl" "$@" >"$out" 2>"$err"
    code=$?
    sed -i 's/\r$//' "$out" "$err"
    return $code
}

check() { # description, then a command that must succeed
    what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
        echo "  stdout: $(cat "$out")"
        echo "  stderr: $(cat "$err")"
    fi
}

exits() { [ "$code" -eq "$1" ]; }
one_error_line() { [ "$(wc -l <"$err")" -eq 1 ] && grep -q "^monitorctl: $1" "$err"; }
listed() { ctl list && grep -q "^$1	.*	$2	$3\$" "$out"; }
not_listed() { ctl list && ! grep -q "^$1	" "$out"; }

"$run" --start
mkdir -p "$system32"
cp "$bundle/Quennet.dll" "$bundle/Brantic.dll" "$failmon" "$system32/" || exit 1
# A Quennet.dll of the other width: the machine field of its PE header, 4
# bytes after "PE\0\0" (whose offset is at 0x3C), names the other machine.
cp "$bundle/Quennet.dll" "$system32/QuennetOther.dll"
pe=$(od -An -tu4 -j60 -N4 "$system32/QuennetOther.dll" | tr -d ' ')
printf "$other" | dd of="$system32/QuennetOther.dll" bs=1 seek=$((pe + 4)) conv=notrunc 2>/dev/null

ctl --version
check "--version" grep -q "^monitorctl $version\$" "$out"
ctl --help
check "--help" grep -q "^usage: monitorctl add NAME DLL" "$out"

# The monitors' trace on from their first load (both levels of lines),
# shown on stderr, where Wine 8 reports OutputDebugString (channel seh).
for name in "Quennet Test" "Brantic Test"; do
    "$run" reg add "HKLM\\System\\CurrentControlSet\\Control\\Print\\Monitors\\$name" \
        /v TraceLevel /t REG_DWORD /d 2 /f >/dev/null 2>&1
done
QUENNET_WINEDEBUG=warn+seh
export QUENNET_WINEDEBUG
traced() { grep -q "$1.*$2" "$err"; }

ctl add "Quennet Test" Quennet.dll
check "add Quennet" exits 0
check "Wine's spooler loads Quennet through InitializePrintMonitor2" \
    traced Quennet "initialised through InitializePrintMonitor2"
check "add reports" grep -q '^added monitor "Quennet Test" (Quennet.dll)$' "$out"
check "list shows Quennet with its version" listed "Quennet Test" Quennet.dll "$version"

ctl add "Brantic Test" Brantic.dll
check "add Brantic" exits 0
check "Wine's spooler loads Brantic through InitializePrintMonitor2" \
    traced Brantic "initialised through InitializePrintMonitor2"
check "list shows Brantic with its version" listed "Brantic Test" Brantic.dll "$version"

# Every port enumeration loads each monitor anew and shuts it down after.
for round in 1 2 3; do
    ctl ports
    check "ports, round $round" exits 0
    check "ports, round $round: the local ports" grep -q "^LPT1:" "$out"
    for monitor in Quennet Brantic; do
        check "ports, round $round: $monitor loaded again" \
            traced $monitor "initialised through InitializePrintMonitor2"
        check "ports, round $round: $monitor shut down" traced $monitor "Shutdown"
    done
done
unset QUENNET_WINEDEBUG

ctl add "Quennet Test" Quennet.dll
check "second add refused" exits 1
check "second add: one error line" one_error_line 'cannot add monitor "Quennet Test" (Quennet.dll): .*(error [0-9]*)$'

ctl add "Failing Test" FailMon.dll
check "failing initialisation refused" exits 1
check "failing initialisation: one error line" one_error_line 'cannot add monitor "Failing Test" (FailMon.dll): '
check "failing monitor not listed" not_listed "Failing Test"

ctl add "Missing Test" Missing.dll
check "missing DLL refused" exits 1
check "missing DLL: says where, with the system's text" one_error_line 'cannot add monitor "Missing Test" (Missing.dll): not in the system folder .*, copy it there first: .* (error 2)$'

ctl add "Wide Test" QuennetOther.dll
check "DLL of the other width refused" exits 1
check "other width: names both widths" one_error_line "cannot add monitor \"Wide Test\" (QuennetOther.dll): $refusal: .* (error 193)\$"
check "other width: never reached the spooler" not_listed "Wide Test"

ctl add "Path Test" 'C:\windows\system32\Quennet.dll'
check "DLL path refused" exits 1
check "DLL path: one error line" one_error_line "cannot add monitor \"Path Test\" (.*): give the DLL's file name only, .* (error 123)\$"

ctl remove "Quennet Test"
check "remove Quennet" exits 0
check "remove reports" grep -q '^removed monitor "Quennet Test"$' "$out"
check "Quennet no longer listed" not_listed "Quennet Test"
check "Brantic still listed" listed "Brantic Test" Brantic.dll "$version"

ctl remove "Quennet Test"
check "second remove refused" exits 1
check "second remove: one error line" one_error_line 'cannot remove monitor "Quennet Test": '

ctl remove "Brantic Test"
check "remove Brantic" exits 0

ctl frobnicate
check "unknown command: usage" exits 2
check "unknown command: one error line" one_error_line 'unknown command "frobnicate" (see monitorctl --help): .* (error 87)$'
ctl add "Only Name"
check "missing argument: usage" exits 2

echo "monitorctl: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
