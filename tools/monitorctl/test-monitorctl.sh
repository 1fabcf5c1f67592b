#!/bin/sh
# monitorctl under Wine, whose spooler loads a monitor DLL from the prefix's
# system folder when it is added and calls its InitializePrintMonitor.
# Usage: test-monitorctl.sh WINE-RUN monitorctl.exe Quennet.dll Brantic.dll FailMon.dll
set -u

run=$1 ctl=$2 quennet=$3 brantic=$4 failmon=$5
: "${WINEPREFIX:?WINEPREFIX names the prefix the tests use}"
system32=$WINEPREFIX/drive_c/windows/system32
# A 32-bit program in a prefix that runs both widths sees syswow64 as its
# system folder.
if [ "${QUENNET_WINE_WIDTH:-64}" = 32 ] && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
    system32=$WINEPREFIX/drive_c/windows/syswow64
fi
passed=0 failed=0
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

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
listed() { ctl list && grep -q "^$1	.*	$2\$" "$out"; }
not_listed() { ctl list && ! grep -q "^$1	" "$out"; }

"$run" --start
mkdir -p "$system32"
cp "$quennet" "$brantic" "$failmon" "$system32/" || exit 1
# A monitor left over from an interrupted run.
ctl remove "Quennet Test" || true
ctl remove "Brantic Test" || true

ctl add "Quennet Test" Quennet.dll
check "add Quennet" exits 0
check "add reports" grep -q '^added monitor "Quennet Test" (Quennet.dll)$' "$out"
check "list shows Quennet" listed "Quennet Test" Quennet.dll

ctl add "Brantic Test" Brantic.dll
check "add Brantic" exits 0
check "list shows Brantic" listed "Brantic Test" Brantic.dll

ctl add "Quennet Test" Quennet.dll
check "second add refused" exits 1
check "second add: one error line" one_error_line 'cannot add monitor "Quennet Test" (Quennet.dll): .*(error [0-9]*)$'

ctl add "Failing Test" FailMon.dll
check "failing initialisation refused" exits 1
check "failing initialisation: one error line" one_error_line 'cannot add monitor "Failing Test" (FailMon.dll): '
check "failing monitor not listed" not_listed "Failing Test"

ctl add "Missing Test" Missing.dll
check "missing DLL refused" exits 1
check "missing DLL: says where" one_error_line 'Missing.dll is not in the system folder .*: copy it there first$'

ctl add "Path Test" 'C:\windows\system32\Quennet.dll'
check "DLL path refused" exits 1
check "DLL path: one error line" one_error_line "give the DLL's file name only"

ctl remove "Quennet Test"
check "remove Quennet" exits 0
check "remove reports" grep -q '^removed monitor "Quennet Test"$' "$out"
check "Quennet no longer listed" not_listed "Quennet Test"
check "Brantic still listed" listed "Brantic Test" Brantic.dll

ctl remove "Quennet Test"
check "second remove refused" exits 1
check "second remove: one error line" one_error_line 'cannot remove monitor "Quennet Test": '

ctl remove "Brantic Test"
check "remove Brantic" exits 0

ctl frobnicate
check "unknown command: usage" exits 2
ctl add "Only Name"
check "missing argument: usage" exits 2

echo "monitorctl: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
