# copy_tree SOURCE_DIR DEST: the files of the checkout as they are now, tracked or new, without
# build output, copied to DEST (made if missing). For the scripts that build copies of the tree.
copy_tree() {
    mkdir -p "$2"
    if git -C "$1" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$1" ls-files -z --cached --others --exclude-standard |
            (cd "$1" && xargs -0 tar -cf - --) | tar -xf - -C "$2"
    else
        (cd "$1" && tar -cf - --exclude=./build --exclude=./dist .) | tar -xf - -C "$2"
    fi
}
