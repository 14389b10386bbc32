#!/bin/sh
# Installs those of the named Debian packages that are missing (as root), after refreshing
# the package lists.
#
# A refresh that fails for one index (a mirror in the middle of a sync) leaves the others
# fresh, so the install is tried all the same and its own failure decides. When it fails and
# some lists did not refresh, it is tried once more without the suites of those lists: a
# suite whose list refreshed for one architecture and not for the other offers the first a
# version the second cannot match, and a package of both architectures (wine32 beside
# wine64) then cannot be installed at all. The other suites hold matching versions.
set -u

missing=""
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $p"
done
[ -n "$missing" ] || exit 0
echo "installing:$missing"

log=$(mktemp)
parts=$(mktemp -d)
trap 'rm -rf "$log" "$parts"' EXIT
apt-get update >"$log" 2>&1
updated=$?
cat "$log"
[ "$updated" -eq 0 ] || echo "some package lists could not be refreshed: installing from the rest"

export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086 # the names are words of their own
apt-get install -y $missing && exit 0
installed=$?

failed=$(sed -n 's#^E: Failed to fetch [a-z+]*://[^ ]*/dists/\([^/ ]*\)/.*#\1#p' "$log" |
    sort -u | tr '\n' ' ')
if [ -z "$failed" ]; then exit "$installed"; fi
echo "installing again without the suites whose lists did not refresh: $failed"

# deb822 files: the failed suites leave each stanza's Suites line; a stanza left with none goes.
for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v failed=" $failed" '
        BEGIN { RS = ""; ORS = "\n\n" }
        {
            n = split($0, line, "\n"); out = ""; keep = 1
            for (i = 1; i <= n; ++i) {
                if (line[i] ~ /^Suites:/) {
                    m = split(substr(line[i], 8), suite, /[ \t]+/); kept = ""
                    for (j = 1; j <= m; ++j) {
                        if (suite[j] == "" || index(failed " ", " " suite[j] " ") != 0) continue
                        kept = kept " " suite[j]
                    }
                    if (kept == "") keep = 0
                    line[i] = "Suites:" kept
                }
                out = out line[i] "\n"
            }
            if (keep) print out
        }' "$f" >"$parts/$(basename "$f")"
done
# One-line files: a line of a failed suite goes (its third word once the [options] are left out).
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    awk -v failed=" $failed" '
        {
            words = $0; gsub(/\[[^]]*\]/, "", words); split(words, word)
            if (word[1] ~ /^deb/ && index(failed " ", " " word[3] " ") != 0) next
            print
        }' "$f" >"$parts/$(basename "$f" .list)-lines.list"
done
# shellcheck disable=SC2086
apt-get install -y -o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null $missing
