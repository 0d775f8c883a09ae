#!/usr/bin/env bash
# ambrevoli-send's bash completion as bash-completion runs it: sourced after bash-completion's own
# functions, asked for the completions of a command line the way bash asks (COMP_WORDS, COMP_CWORD),
# with the real ambrevoli-send listing the destinations of a throwaway data folder.
#
# Usage: completion_test.sh <completion file> <ambrevoli-send>
# Exits 77 (skipped) without bash-completion.

completion=${1:?usage: completion_test.sh <completion file> <ambrevoli-send>}
send=${2:?usage: completion_test.sh <completion file> <ambrevoli-send>}
loader=/usr/share/bash-completion/bash_completion
if [[ ! -f $loader ]]; then
  echo "SKIP: bash-completion is not installed (scripts/install-deps installs it)"
  exit 77
fi

work=$(mktemp -d /tmp/ambrevoli-completion-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/ambrevoli" "$work/home" "$work/bin" "$work/here/reports" "$work/here/photos"
touch "$work/here/report.pdf" "$work/here/notes.txt"
ln -s "$send" "$work/bin/ambrevoli-send"
cat >"$work/data/ambrevoli/destinations.json" <<JSON
{"version": 1, "destinations": [
  {"id": "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F", "label": "Backups", "path": "$work/backups"},
  {"id": "0B8D7C4A-52E1-4F0B-A1C3-9D8E7F6A5B4C", "label": "Holiday photos", "path": "$work/holiday"},
  {"id": "5A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D", "label": "Home", "path": "$work/home"},
  {"id": "7C6B5A49-3827-4615-A4B3-C2D1E0F9A8B7", "label": "Ann's", "path": "$work/ann"}]}
JSON
mkdir -p "$work/data/ambrevoli/Undo"
touch "$work/data/ambrevoli/Undo/9C1D0E5B-6F2A-4B8C-A1D3-7E4F5A6B7C8D.record" \
  "$work/data/ambrevoli/Undo/1A2B3C4D-5E6F-4A7B-8C9D-0E1F2A3B4C5D.undone"
export XDG_DATA_HOME=$work/data HOME=$work/home PATH=$work/bin:$PATH
cd "$work/here" || exit 1

# shellcheck source=/dev/null
source "$loader"
# shellcheck source=/dev/null
source "$completion"
complete -p ambrevoli-send >/dev/null || {
  echo "FAIL: the completion file registers nothing for ambrevoli-send"
  exit 1
}

# Completes the last of the words, as typed, and prints the replies sorted, joined by "|".
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _ambrevoli_send ambrevoli-send "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd'|'
}

failures=0
check() {
  local expected=$1
  shift
  local got
  got=$(complete_words "$@" 2>&1)
  if [[ $got != "$expected" ]]; then
    echo "FAIL: completing [$*] gave [$got], expected [$expected]"
    failures=$((failures + 1))
  fi
}

#     expected replies                          the command line, last word being completed
check '--help|--list|--to|--undo|--wait'        ambrevoli-send ''
# Only sends that can still be undone; one already undone is no candidate.
check '9C1D0E5B-6F2A-4B8C-A1D3-7E4F5A6B7C8D|last' ambrevoli-send --undo ''
check 'last'                                    ambrevoli-send --undo l
check ''                                        ambrevoli-send --undo last ''
check '--list'                                  ambrevoli-send --l
check '--to'                                    ambrevoli-send --wait ''
check 'Holiday\ photos|Home'                    ambrevoli-send --wait --to Ho
check 'photos'                                  ambrevoli-send --wait --to Home report.pdf ph
check ''                                        ambrevoli-send --wait --list ''
check "Ann\\'s|Backups|Holiday\\ photos|Home"   ambrevoli-send --to ''
check 'Holiday\ photos|Home'                    ambrevoli-send --to Ho
check 'Holiday\ photos'                         ambrevoli-send --to 'Holiday\ p'
check 'Holiday photos'                          ambrevoli-send --to '"Holiday p'
check "Ann\\'s"                                 ambrevoli-send --to "Ann\\'"
check ''                                        ambrevoli-send --to Nowhere
check 'report.pdf|reports'                      ambrevoli-send --to Backups rep
check 'photos'                                  ambrevoli-send --to 'Holiday\ photos' report.pdf ph
check ''                                        ambrevoli-send --list ''
check ''                                        ambrevoli-send --help ''

# A destinations file that can't be read offers no labels, and prints nothing into the line.
echo 'not json' >"$work/data/ambrevoli/destinations.json"
check ''                                        ambrevoli-send --to ''

if ((failures > 0)); then
  exit 1
fi
echo "all completions as expected"
