#!/bin/sh
# Fails when two paths of the repository (files or folders, tracked or new) differ only by
# letter case: a checkout on a case-insensitive file system, as Windows has, keeps only one
# of them. Skipped (77) outside a git checkout.
export LC_ALL=C
cd "$1" || exit 2
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || exit 77
clashes=$(git ls-files --cached --others --exclude-standard \
  | awk -F/ '{ p = $1; print p; for (i = 2; i <= NF; i++) { p = p "/" $i; print p } }' \
  | sort -u | sort -f | uniq -Di)
[ -z "$clashes" ] && exit 0
echo "paths that differ only by letter case:"
echo "$clashes"
exit 1
