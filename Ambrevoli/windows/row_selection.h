#pragma once

#include "uuid.h"

#include <cstddef>
#include <optional>
#include <unordered_set>
#include <vector>

namespace ambrevoli {

// Which rows of an ordered list are selected, apart from any widget: what a click, a Ctrl-click,
// a Shift-click, Select All and the arrow keys do to the selection, and what becomes of it when
// rows are removed or reordered beneath it.
//
// Two places are kept besides the selected set: the anchor, where a range (Shift-click,
// Shift+arrow) starts, and the current row, where the next arrow key moves from. Both are rows
// of the list or absent. Every operation that takes a row ignores one that is not listed.
//
// Each edit yields true exactly when the set of selected rows changed; moving the anchor or the
// current row alone yields false. A plain value.
class RowSelection {
public:
    enum class Step { up, down, first, last };

    // Takes up the rows as listed now, top to bottom: the selected ones still listed stay
    // selected, and an anchor or current row no longer listed becomes absent.
    bool setRows(std::vector<Uuid> rows);
    const std::vector<Uuid>& rows() const { return m_rows; }

    bool isSelected(const Uuid& id) const { return m_selected.contains(id); }
    std::size_t count() const { return m_selected.size(); }
    // The selected rows, in list order.
    std::vector<Uuid> selected() const;
    const std::optional<Uuid>& anchor() const { return m_anchor; }
    const std::optional<Uuid>& current() const { return m_current; }

    // Selects exactly the listed rows among `ids`; the last of `ids`, when listed, becomes the
    // anchor and the current row.
    bool select(const std::vector<Uuid>& ids);
    // A plain click: `id` alone, and the anchor and current row.
    bool selectOnly(const Uuid& id);
    // A Ctrl-click: `id` in or out of the selection; the anchor and current row either way.
    bool toggle(const Uuid& id);
    // A Shift-click: the rows from the anchor to `id`, which becomes the current row; the anchor
    // stays. Without an anchor, as selectOnly.
    bool extendTo(const Uuid& id);
    bool selectAll();
    // Deselects every row; the anchor and current row stay.
    bool clear();

    // An arrow key, Home or End: the current row moves one row up or down (from no current row
    // both land on the first), or to the first or last row, and is selected alone — or, with
    // `extend` and an anchor, the rows from the anchor to it. Nothing happens in an empty list.
    bool move(Step step, bool extend);

private:
    // -1 when `id` is not listed.
    int indexOf(const Uuid& id) const;
    bool selectRange(int from, int to);
    bool replace(std::unordered_set<Uuid> selected);

    std::vector<Uuid> m_rows;
    std::unordered_set<Uuid> m_selected;
    std::optional<Uuid> m_anchor;
    std::optional<Uuid> m_current;
};

} // namespace ambrevoli
