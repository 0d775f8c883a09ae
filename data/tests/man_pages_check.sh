#!/usr/bin/env bash
# The manual pages as man shows them: each formats without a warning from groff (`man --warnings`,
# as lintian runs it), has the sections a reader looks for, and documents every option the
# program's own --help names.
#
# Usage: man_pages_check.sh <folder of the built pages> <ambrevoli> <ambrevoli-send>
# Exits 77 (skipped) without man and groff.
set -euo pipefail

pages=${1:?usage: man_pages_check.sh <man folder> <ambrevoli> <ambrevoli-send>}
host=${2:?usage: man_pages_check.sh <man folder> <ambrevoli> <ambrevoli-send>}
send=${3:?usage: man_pages_check.sh <man folder> <ambrevoli> <ambrevoli-send>}
for tool in man groff; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps installs it)"
    exit 77
  fi
done

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for program in "$host" "$send"; do
  name=$(basename "$program")
  page=$pages/$name.1.gz
  [[ -f $page ]] || {
    fail "$page was not built"
    continue
  }
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || fail "man could not format $page"
  [[ -z $warnings ]] || fail "$name(1) has formatting warnings:"$'\n'"$warnings"

  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | col -b)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || fail "$name(1) has no $section section"
  done
  # Options as --help spells them; each must appear in the page.
  while IFS= read -r option; do
    grep -qF -- "$option" <<<"$text" || fail "$name(1) does not document $option, which --help names"
  done < <("$program" --help | grep -oE -- '(^|[[:space:]\[])--?[a-z][a-z-]*' | grep -oE -- '--?[a-z][a-z-]*' | sort -u)
done

if ((failures > 0)); then
  exit 1
fi
echo "the manual pages format cleanly and document every option"
