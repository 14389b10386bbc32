#!/bin/sh
# Builds the releases twice, from two copies of the source tree in folders of different names and
# depths, and fails unless both give the same archives, and each file in them, byte for byte.
# Usage: check_reproducible.sh SOURCE_DIR [PRESET...] (default: release release-x86_64)
set -eu
source_dir=$(cd "$1" && pwd)
shift
presets=${*:-release release-x86_64}
work=$(mktemp -d "${TMPDIR:-/tmp}/quill-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

. "$(dirname "$0")/copy_tree.sh"

build_release() {
    for preset in $presets; do
        (cd "$1" && cmake --preset $preset >"$1.log" 2>&1 &&
            cmake --build --preset $preset --target release >>"$1.log" 2>&1) || {
            cat "$1.log"
            echo "check_reproducible: the $preset build in $1 failed" >&2
            exit 1
        }
    done
}

first="$work/a"
second="$work/another/checkout with a longer name"
copy_tree "$source_dir" "$first"
copy_tree "$source_dir" "$second"
build_release "$first"
build_release "$second"

# Every file of the archive, the archive itself, and dist/SHA256SUMS over it.
status=0
for build in $presets; do
    one_stage=$(find "$first/build/$build/stage" -mindepth 1 -maxdepth 1 -type d)
    two_stage=$(find "$second/build/$build/stage" -mindepth 1 -maxdepth 1 -type d)
    files=$( (cd "$one_stage" && find . -type f | sed "s|^\./||" | sort) )
    for file in $files dist; do
        case $file in
        dist)
            one=$(ls "$first/dist/$(basename "$one_stage")".*)
            two=$(ls "$second/dist/$(basename "$two_stage")".*)
            ;;
        *)
            one="$one_stage/$file"
            two="$two_stage/$file"
            ;;
        esac
        if cmp -s "$one" "$two"; then
            echo "same bytes: ${one#"$first"/} ($(wc -c <"$one") bytes)"
        else
            echo "check_reproducible: ${one#"$first"/} differs between the two builds" >&2
            cmp -l "$one" "$two" | head -5 >&2 || true
            status=1
        fi
    done
done
if ! cmp -s "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"; then
    echo "check_reproducible: dist/SHA256SUMS differs" >&2
    status=1
fi
(cd "$first/dist" && sha256sum -c --quiet SHA256SUMS) || status=1
exit $status
