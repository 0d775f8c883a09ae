#pragma once

#include "uuid.h"

#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

// A folder on the Send To list. A plain value; equality compares all four fields.
class Destination {
public:
    Destination(Uuid id, std::string label, std::string path,
                std::optional<std::string> bookmark = std::nullopt)
        : m_id(id), m_label(std::move(label)), m_path(std::move(path)),
          m_bookmark(std::move(bookmark))
    {}

    // The stable identity requests and menus name; fixed at construction.
    const Uuid& id() const { return m_id; }
    // The name shown in the menu and the settings list.
    const std::string& label() const { return m_label; }
    // The folder's absolute path.
    const std::string& path() const { return m_path; }
    // Opaque bytes that find the folder again after it was moved or renamed (bookmark.h); made
    // and resolved by the host application.
    const std::optional<std::string>& bookmark() const { return m_bookmark; }

    void setLabel(std::string label) { m_label = std::move(label); }
    void setPath(std::string path) { m_path = std::move(path); }
    void setBookmark(std::optional<std::string> bookmark) { m_bookmark = std::move(bookmark); }

    // Whether `path` lies in a trash folder, where a destination is no longer usable: one of its
    // components (split at "/") is exactly ".Trash" or ".Trashes", or ".Trash-" followed by a
    // user number (a volume's trash), or the path is the home trash (dataHome() + "/Trash") or
    // lies under it. Case-sensitive; reads the environment for the home trash.
    static bool isInTrash(std::string_view path);

    friend bool operator==(const Destination&, const Destination&) = default;

private:
    Uuid m_id;
    std::string m_label;
    std::string m_path;
    std::optional<std::string> m_bookmark;
};

// `text` without Unicode white space and line breaks at either end (general categories Zs, Zl
// and Zp, U+0009–U+000D and U+0085). Bytes that are not UTF-8 are never trimmed.
std::string trimmedLabel(std::string_view text);

// The label being edited in a label field, with the one it had when editing began.
struct LabelDraft {
    std::string original;

    // The label to use for the typed text: `original` when the text is empty after trimming,
    // else the text as typed, untrimmed (storing it trims it).
    std::string label(std::string_view typed) const;

    friend bool operator==(const LabelDraft&, const LabelDraft&) = default;
};

} // namespace ambrevoli
