#!/usr/bin/env bash
# Stages a build's installation with the prefix `make install` uses (/usr) under DESTDIR, checks
# that each deliverable lands where the desktop looks for it and that the desktop entry makes
# Ambrevoli the handler of "ambrevoli:" URLs, then uninstalls from the install manifest and checks
# that nothing it installed is left.
#
# Usage: install_check.sh <build folder> <source folder>
set -euo pipefail

build=${1:?usage: install_check.sh <build folder> <source folder>}
source=${2:?usage: install_check.sh <build folder> <source folder>}
# shellcheck source=tests/desktop_check.bash
source "$source/tests/desktop_check.bash"
fail() {
  echo "FAIL: $*"
  exit 1
}

work=$(mktemp -d /tmp/ambrevoli-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
export DESTDIR=$stage
cmake --install "$build" --prefix /usr >"$work/install.log"
manifest=$build/install_manifest.txt

extensiondir=$(pkg-config --variable=extensiondir libnautilus-extension-4)
expected=(
  "$extensiondir/libambrevoli-finder.so"
  /usr/share/applications/ambrevoli.desktop
  /usr/share/icons/hicolor/scalable/apps/ambrevoli.svg
  /usr/share/metainfo/ambrevoli.metainfo.xml
  /usr/share/man/man1/ambrevoli.1.gz
  /usr/share/man/man1/ambrevoli-send.1.gz
  "$(pkg-config --variable=completionsdir bash-completion)/ambrevoli-send"
)
# A message catalog per language of po/LINGUAS, where every deliverable looks for it.
while read -r language; do
  [[ -z $language || $language == \#* ]] && continue
  expected+=("/usr/share/locale/$language/LC_MESSAGES/ambrevoli.mo")
done <"$source/po/LINGUAS"
# Each further file manager's module, where the build made one, in that file manager's folder.
while read -r option package variable file; do
  grep -qx "${option}_BUILT:INTERNAL=ON" "$build/CMakeCache.txt" || continue
  expected+=("$(pkg-config --variable="$variable" "$package")/$file")
done <"$source/packaging/file_manager_modules"
# A build with the Dolphin plugin installs it where KIO looks for context-menu plugins under its
# Qt's plugin folder (kf5 or kf6 under Qt 5's or Qt 6's), as that Qt itself names it.
if built=$(check_dolphin_plugin "$build"); then
  kf=$(check_dolphin_kf "$built")
  expected+=("$(check_qt_plugin_folder "$kf")/$kf/kfileitemaction/ambrevoli-dolphin.so")
fi
for file in "${expected[@]}"; do
  [[ -f $stage$file ]] || fail "$file was not installed"
  grep -qxF "$file" "$manifest" || fail "$file is missing from the install manifest"
done
# Staging leaves the system's caches alone.
[[ ! -e $stage/usr/share/applications/mimeinfo.cache ]] || fail "staging updated the desktop database"

desktop-file-validate "$stage/usr/share/applications/ambrevoli.desktop" ||
  fail "the desktop entry does not validate"
# The entry and the description carry the catalogs' languages.
grep -qx 'GenericName\[de\]=Senden an' "$stage/usr/share/applications/ambrevoli.desktop" ||
  fail "the desktop entry is not translated"
grep -q '<summary xml:lang="pl">' "$stage/usr/share/metainfo/ambrevoli.metainfo.xml" ||
  fail "the metainfo is not translated"
if command -v appstreamcli >/dev/null; then
  # Ambrevoli's identifiers are plain names, not reverse domain names; everything else must pass.
  appstreamcli validate --no-net --override=cid-desktopapp-is-not-rdns=info \
    "$stage/usr/share/metainfo/ambrevoli.metainfo.xml" || fail "the metainfo does not validate"
fi

# With the staged folder among the data folders, the desktop sends "ambrevoli:" URLs to us. GIO
# ignores an entry whose program is not on the PATH: a stand-in host is put there.
update-desktop-database "$stage/usr/share/applications"
mkdir -p "$work/bin"
printf '#!/bin/sh\n' >"$work/bin/ambrevoli"
chmod 755 "$work/bin/ambrevoli"
handler=$(PATH=$work/bin:$PATH XDG_DATA_HOME=$work/empty XDG_DATA_DIRS=$stage/usr/share \
  XDG_CONFIG_HOME=$work/empty XDG_CONFIG_DIRS=$work/empty gio mime x-scheme-handler/ambrevoli 2>&1 || true)
[[ $handler == *"ambrevoli.desktop"* ]] || fail "no handler for ambrevoli: URLs: $handler"

"$source/scripts/uninstall" "$manifest" >"$work/uninstall.log"
while IFS= read -r file; do
  [[ ! -e $stage$file && ! -L $stage$file ]] || fail "$file is left after uninstalling"
done <"$manifest"
echo "installed and uninstalled $(wc -l <"$manifest") files"
