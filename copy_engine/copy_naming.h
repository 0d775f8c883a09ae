#pragma once

#include "error.h"
#include "file_util.h"

#include <expected>
#include <string>

// The names a copy may take in its destination, and the exclusive move that claims one. A copy
// never replaces anything: a taken name gets a numbered variant ("Report 2.pdf"), and the final
// name is claimed by the file system itself, so two copies racing for a name get different ones.

namespace ambrevoli {

// The naming rule for one item. A plain value.
class CopyNamer {
public:
    // `keepWhole` is true for a folder: its name is never split at a dot. Otherwise the name
    // splits at its last dot into base and suffix, unless the part before or after that dot is
    // empty (".profile", "notes.", "Makefile" stay whole).
    CopyNamer(std::string name, bool keepWhole);

    // The name exactly as given.
    const std::string& original() const { return m_original; }
    // The part before the suffix, or the whole name.
    const std::string& base() const { return m_base; }
    // "." followed by the extension, or empty. When not empty, base() + suffix() == original().
    const std::string& suffix() const { return m_suffix; }

    // Attempt 0 (or below): the original name, whatever its length. Attempt n ≥ 1: base + " " +
    // (n + 1) + suffix, where the base loses whole characters (grapheme clusters) from its end
    // until the name fits in 255 bytes, then any trailing blanks. The length counted is the
    // larger of the name's canonically decomposed (NFD) UTF-8 form and its bytes as stored; a
    // name that is not UTF-8 counts its bytes. The suffix is never shortened: if the tag and
    // suffix alone are too long, the base ends empty and the file system refuses the name.
    std::string candidateName(int attempt) const;

private:
    std::string m_original;
    std::string m_base;
    std::string m_suffix;
};

// The exclusive rename placement uses: renames `from` to `to` unless anything exists at `to`
// (EEXIST then), like the kit's renameNoReplace, which is the one the engine uses.
using ExclusiveRename = std::expected<void, SystemError> (*)(const std::string& from,
                                                             const std::string& to);

// The plain rename placement uses over its placeholder: rename(2), which replaces what is at
// `to` where the volume lets it. On some volumes it never does (FAT through Debian 13's FUSE
// driver answers EEXIST); tests pass renameNoReplace to stand for those.
using PlainRename = ExclusiveRename;
std::expected<void, SystemError> plainRename(const std::string& from, const std::string& to);

// Moves the item at `from` to the full path `to` without ever replacing an existing item. When
// the volume has no exclusive rename (exclusiveRenameUnsupported), the name is claimed with an
// empty placeholder (a 0700 folder or a 0600 file, created exclusively) and the item renamed
// over it; a placeholder whose rename fails is removed again, and a failed removal is logged.
// Where the volume's rename refuses to replace even the placeholder, that rename is exclusive
// itself, and the item is renamed once more with the placeholder gone.
// On failure yields the errno: EEXIST when `to` is taken. `rename` is the exclusive rename to
// use; tests pass one that reports EINVAL to reach the placeholder route.
std::expected<void, SystemError> placeCopy(const std::string& from, const std::string& to,
                                           ExclusiveRename rename = renameNoReplace,
                                           PlainRename plain = plainRename);

// Moves the item at `temporary` into the folder `destination` (trailing slashes trimmed) under
// the first free candidate of `namer`, trying attempts 0 to 9999. Yields the final full path,
// or the first error other than EEXIST, or EEXIST when all 10000 names are taken.
std::expected<std::string, SystemError>
placeUnderFreeName(const std::string& temporary, const std::string& destination,
                   const CopyNamer& namer, ExclusiveRename rename = renameNoReplace,
                   PlainRename plain = plainRename);

} // namespace ambrevoli
