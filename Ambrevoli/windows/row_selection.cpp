#include "row_selection.h"

#include <algorithm>

namespace ambrevoli {

bool RowSelection::setRows(std::vector<Uuid> rows)
{
    m_rows = std::move(rows);
    std::unordered_set<Uuid> kept;
    for (const Uuid& id : m_selected)
        if (indexOf(id) >= 0)
            kept.insert(id);
    if (m_anchor && indexOf(*m_anchor) < 0)
        m_anchor.reset();
    if (m_current && indexOf(*m_current) < 0)
        m_current.reset();
    return replace(std::move(kept));
}

std::vector<Uuid> RowSelection::selected() const
{
    std::vector<Uuid> ids;
    for (const Uuid& id : m_rows)
        if (m_selected.contains(id))
            ids.push_back(id);
    return ids;
}

bool RowSelection::select(const std::vector<Uuid>& ids)
{
    std::unordered_set<Uuid> selected;
    for (const Uuid& id : ids)
        if (indexOf(id) >= 0)
            selected.insert(id);
    if (!ids.empty() && indexOf(ids.back()) >= 0)
        m_anchor = m_current = ids.back();
    return replace(std::move(selected));
}

bool RowSelection::selectOnly(const Uuid& id)
{
    if (indexOf(id) < 0)
        return false;
    m_anchor = m_current = id;
    return replace({id});
}

bool RowSelection::toggle(const Uuid& id)
{
    if (indexOf(id) < 0)
        return false;
    m_anchor = m_current = id;
    auto selected = m_selected;
    if (!selected.erase(id))
        selected.insert(id);
    return replace(std::move(selected));
}

bool RowSelection::extendTo(const Uuid& id)
{
    const int to = indexOf(id);
    if (to < 0)
        return false;
    if (!m_anchor)
        return selectOnly(id);
    m_current = id;
    return selectRange(indexOf(*m_anchor), to);
}

bool RowSelection::selectAll() { return replace({m_rows.begin(), m_rows.end()}); }

bool RowSelection::clear() { return replace({}); }

bool RowSelection::move(Step step, bool extend)
{
    if (m_rows.empty())
        return false;
    const int last = static_cast<int>(m_rows.size()) - 1;
    const int from = m_current ? indexOf(*m_current) : -1;
    int to = 0;
    switch (step) {
    case Step::up: to = from < 0 ? 0 : from - 1; break;
    case Step::down: to = from + 1; break;
    case Step::first: to = 0; break;
    case Step::last: to = last; break;
    }
    const Uuid& target = m_rows[static_cast<std::size_t>(std::clamp(to, 0, last))];
    return extend ? extendTo(target) : selectOnly(target);
}

int RowSelection::indexOf(const Uuid& id) const
{
    const auto found = std::find(m_rows.begin(), m_rows.end(), id);
    return found == m_rows.end() ? -1 : static_cast<int>(found - m_rows.begin());
}

bool RowSelection::selectRange(int from, int to)
{
    std::unordered_set<Uuid> selected;
    for (int i = std::min(from, to); i <= std::max(from, to); ++i)
        selected.insert(m_rows[static_cast<std::size_t>(i)]);
    return replace(std::move(selected));
}

bool RowSelection::replace(std::unordered_set<Uuid> selected)
{
    const bool changed = selected != m_selected;
    m_selected = std::move(selected);
    return changed;
}

} // namespace ambrevoli
