#!/bin/sh
# Builds the releases twice, from two copies of the source tree in folders of different names and
# depths, and fails unless both give the same quillstore.so and quillstore.so.debug byte for byte,
# for the i386 and the x86_64 module alike.
# Usage: check_reproducible.sh SOURCE_DIR
set -eu
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quill-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# The files of the checkout as they are now, tracked or new, without build output.
copy_tree() {
    mkdir -p "$1"
    if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
            (cd "$source_dir" && xargs -0 tar -cf - --) | tar -xf - -C "$1"
    else
        (cd "$source_dir" && tar -cf - --exclude=./build --exclude=./dist .) | tar -xf - -C "$1"
    fi
}

build_release() {
    for preset in release release-x86_64; do
        (cd "$1" && cmake --preset $preset >"$1.log" 2>&1 &&
            cmake --build --preset $preset --target release >>"$1.log" 2>&1) || {
            cat "$1.log"
            echo "check_reproducible: the $preset build in $1 failed" >&2
            exit 1
        }
    done
}

first="$work/a"
second="$work/another/checkout-with-a-longer-name"
copy_tree "$first"
copy_tree "$second"
build_release "$first"
build_release "$second"

status=0
for build in release release-x86_64; do
    for file in quillstore.so quillstore.so.debug; do
        one=$(find "$first/build/$build/stage" -name "$file")
        two=$(find "$second/build/$build/stage" -name "$file")
        if [ -n "$one" ] && cmp -s "$one" "$two"; then
            echo "same bytes: $build $file ($(wc -c <"$one") bytes)"
        else
            echo "check_reproducible: $build $file differs between $first and $second" >&2
            cmp -l "$one" "$two" | head -5 >&2 || true
            status=1
        fi
    done
done
exit $status
