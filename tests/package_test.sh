#!/usr/bin/env bash
# Builds the Debian package from a configured, built release folder, checks its
# file list and metadata, unpacks it into a scratch root and runs the program
# from there on the bundled example.
# usage: package_test.sh BUILD_FOLDER
set -euo pipefail
build=$(cd "$1" && pwd)
examples=$(cd "$(dirname "$0")/../examples" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; exit 1; }
deb=$(echo "$work"/kunpack_*.deb)

# Each listed path must be in the package, as a file or as the link shown.
files=$(dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }')
for entry in "./usr/bin/Kunpack" "./usr/bin/kunpack -> Kunpack" \
             "./usr/share/man/man1/Kunpack.1" "./usr/share/man/man1/kunpack.1 -> Kunpack.1" \
             "./usr/share/bash-completion/completions/kunpack" \
             "./usr/share/bash-completion/completions/Kunpack -> kunpack"; do
  grep -qxF "$entry" <<<"$files" || { echo "missing from the package: $entry"; echo "$files"; exit 1; }
done

info=$(dpkg-deb -I "$deb")
for field in "Package: kunpack" "Depends: .*libc6 (>= " "Description: cut the fields of K-file records"; do
  grep -q "^ $field" <<<"$info" || { echo "no '$field' in:"; echo "$info"; exit 1; }
done

dpkg -x "$deb" "$work/root"
# bash-completion's loader finds the completion under both names.
XDG_DATA_DIRS="$work/root/usr/share" bash --norc -c \
  'source /usr/share/bash-completion/bash_completion && __load_completion Kunpack &&
   __load_completion kunpack && complete -p Kunpack kunpack' >/dev/null
cd "$examples"
"$work/root/usr/bin/kunpack" -K datautf=8 'tags Depends:/\,\ */ nums:/;/:%d' packages.k \
  | diff -u packages.out -
echo "package test passed: $(basename "$deb")"
