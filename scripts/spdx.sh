#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Marks every source file of the tree with its licence, as one SPDX line:
#
#   // SPDX-License-Identifier: MIT   first line of C and C++ sources and
#                                     headers (kernel's tvklist and tvkvector
#                                     too, which have no extension)
#   # SPDX-License-Identifier: MIT    CMake, shell and Python files, after
#                                     the #! line (and Python's coding line)
#
#   scripts/spdx.sh [--check] [DIR]
#
# DIR (default: this tree) is searched through git, so build folders and
# whatever git ignores are left alone. A file that already names a licence
# in its first lines is left as it is, so running it again changes nothing.
# --check changes nothing: it lists the files that lack the line and exits 1
# when there are any.
set -euo pipefail

readonly kTag="SPDX-License-Identifier: MIT"
readonly kHeadLines=3   # where an existing licence line is looked for

# The comment style of a file, or nothing for a file that gets no line.
style() {
  local file=$1 first
  case "${file##*/}" in
    *.c|*.cc|*.cpp|*.cxx|*.h|*.hh|*.hpp|*.hxx) echo cpp; return ;;
    CMakeLists.txt|*.cmake|*.cmake.in|*.sh|*.py) echo hash; return ;;
    *.*) return ;;   # any other extension: data, templates, documents
  esac
  # No extension: known by its first line, if it is text at all.
  grep -Iq . "$file" || return 0
  IFS= read -r first <"$file" || true
  case "$first" in
    '#!'*sh*|'#!'*python*) echo hash ;;
    '#ifndef'*|'#pragma once'*|'//'*|'/*'*) echo cpp ;;
  esac
}

has_tag() {
  head -n "$kHeadLines" "$1" | grep -q 'SPDX-License-Identifier:'
}

# Writes the line in place, keeping the file's mode.
mark() {
  local file=$1 kind=$2 marked
  marked=$(mktemp)
  if [ "$kind" = cpp ]; then
    { printf '// %s\n' "$kTag"; cat "$file"; } >"$marked"
  else
    awk -v line="# $kTag" '
      !done && NR == 1 && /^#!/ { print; next }
      !done && NR <= 2 && /^#.*coding[:=]/ { print; next }
      !done { print line; done = 1 }
      { print }
      END { if (!done) print line }' "$file" >"$marked"
  fi
  cat "$marked" >"$file"
  rm -f "$marked"
}

list_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard
  else
    find . \( -name .git -o -name 'build*' \) -prune -o -type f -print0 | sed -z 's|^\./||'
  fi
}

main() {
  local check=0 lacking=0 file kind
  if [ "${1:-}" = --check ]; then
    check=1
    shift
  fi
  [ $# -le 1 ] || { echo "usage: $0 [--check] [DIR]" >&2; return 2; }
  cd "${1:-$(dirname "$0")/..}"
  while IFS= read -r -d '' file; do
    [ -f "$file" ] && [ ! -L "$file" ] || continue
    kind=$(style "$file")
    [ -n "$kind" ] || continue
    has_tag "$file" && continue
    if [ "$check" -eq 1 ]; then
      echo "$file"
      lacking=$((lacking + 1))
    else
      mark "$file" "$kind"
      echo "marked $file"
    fi
  done < <(list_files)
  if [ "$check" -eq 1 ] && [ "$lacking" -gt 0 ]; then
    echo "$lacking file(s) without an SPDX licence line: scripts/spdx.sh adds it" >&2
    return 1
  fi
}

# On one line, read whole before it runs: the script marks itself too, and
# bash reads a script as it goes.
main "$@"; exit
