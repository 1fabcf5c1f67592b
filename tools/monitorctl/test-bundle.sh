#!/bin/sh
# The release bundle of this build: scripts/package lays it out and zips it
# (or has written it already: a .zip given instead of the bin folder, as
# scripts/test does with what scripts/package wrote to dist/); its contents
# must be exactly the list below, every binary must carry the version of the
# VERSION file, and SHA256SUMS must match. Leaves the bundle unpacked in OUT
# for the monitorctl test.
# Usage: test-bundle.sh SOURCE-DIR BIN-DIR|ZIP OUT-DIR WINDRES win64|win32
set -u

source=$1 bin=$2 out=$3 windres=$4 width=$5
version=$(head -n 1 "$source/VERSION")
name=quennet-brantic-$version-$width
passed=0 failed=0
check() { # description, then a command that must succeed
    what=$1
    shift
    if "$@"; then passed=$((passed + 1)); else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

rm -rf "$out"
mkdir -p "$out"
case "$bin" in
*.zip) zip=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin") ;;
*)
    "$source/scripts/package" --from "$bin" --width "$width" --out "$out" >/dev/null || exit 1
    zip=$out/$name.zip
    ;;
esac

expected="$name/
$name/Brantic.dll
$name/INSTALL.txt
$name/Quennet.dll
$name/SHA256SUMS
$name/monitorctl.exe
$name/reference/
$name/reference/DARUZUROZ.DLL
$name/reference/RAVODIR.DLL
$name/reference/README.txt
$name/reference/VEROVIRI.DLL"
listed=$(unzip -Z1 "$zip" | LC_ALL=C sort)
check "contents: $(echo "$listed" | tr '\n' ' ')" [ "$listed" = "$(echo "$expected" | LC_ALL=C sort)" ]

(cd "$out" && unzip -q "$zip") || exit 1
dir=$out/$name
check "SHA256SUMS match" sh -c "cd '$dir' && sha256sum --quiet -c SHA256SUMS"
check "reference README says trials only" grep -q "for trials only" "$dir/reference/README.txt"
check "INSTALL.txt is the guide" grep -q "administrator's guide" "$dir/INSTALL.txt"

# The version resource of each binary, read back by the resource compiler.
for file in Quennet.dll Brantic.dll monitorctl.exe reference/RAVODIR.DLL \
    reference/VEROVIRI.DLL reference/DARUZUROZ.DLL; do
    rc=$("$windres" -i "$dir/$file" -O rc 2>/dev/null)
    for value in "FileVersion\", \"$version\"" "ProductVersion\", \"$version\"" \
        "OriginalFilename\", \"$(basename "$file")\"" \
        "ProductName\", \"Quennet and Brantic language monitors\""; do
        check "$file: $value" sh -c 'printf "%s\n" "$1" | grep -q -F "VALUE \"$2"' - "$rc" "$value"
    done
done

echo "bundle: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
