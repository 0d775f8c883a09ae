# Sourced by update-po and check-po: how the catalogs' template is made from the sources, so that
# the two can never disagree about which texts belong in it.

# The sources whose texts people read: every C++ file of the deliverables, not their tests, fuzz
# targets or benchmarks.
po_sources() {
  local root=$1
  (cd "$root" && find . \( -path ./build -o -path ./.git -o -path ./fuzz -o -path ./bench \
      -o -name tests \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' |
    LC_ALL=C sort)
}

# The desktop entry and the software-centre description, translated by msgfmt --desktop and
# --xml at build time. The description's template has CMake's values filled in first, as the build
# fills them, so that the texts are the ones users read.
po_data_files() {
  echo data/ambrevoli.desktop
  echo data/ambrevoli.metainfo.xml
}

# make_template <source root> <output .pot>
make_template() {
  local root=$1 out=$2
  local version description filled
  version=$(sed -n 's/^project(Ambrevoli VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
  description=$(sed -n 's/^ *DESCRIPTION "\(.*\)"$/\1/p' "$root/CMakeLists.txt")
  filled=$(mktemp -d)
  mkdir -p "$filled/data"
  sed "s|@PROJECT_DESCRIPTION@|$description|" "$root/data/ambrevoli.metainfo.xml.in" \
    >"$filled/data/ambrevoli.metainfo.xml"
  po_sources "$root" >"$filled/sources"
  po_data_files >"$filled/data-files"
  # Locations name the file only, so that the template changes when texts do, not lines.
  local common=(--from-code=UTF-8 --add-comments=TRANSLATORS: --add-location=file
    --package-name=Ambrevoli --package-version="$version"
    --msgid-bugs-address=https://ambrevoli.example/ --output="$filled/template.pot")
  (cd "$root" && xgettext --language=C++ "${common[@]}" \
    --keyword=translate --keyword=translateInContext:1c,2 --keyword=translatePlural:1,2 \
    --keyword=N_ --keyword=uiText --keyword=uiTextInContext:1c,2 --keyword=uiTextPlural:1,2 \
    --flag=uiText:1:qt-format --flag=uiTextInContext:2:qt-format \
    --flag=uiTextPlural:1:qt-format --flag=uiTextPlural:2:qt-format \
    --files-from="$filled/sources")
  xgettext "${common[@]}" --join-existing --directory="$filled" --directory="$root" \
    --files-from="$filled/data-files"
  sed '/^"POT-Creation-Date:/d' "$filled/template.pot" >"$out"
  rm -rf "$filled"
}
