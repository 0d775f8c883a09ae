#include "row_selection.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace ambrevoli {
namespace {

using Step = RowSelection::Step;

// Rows are named by one letter each, so a case reads as the list a person sees.
Uuid row(char name)
{
    Uuid::Bytes bytes{};
    bytes[15] = static_cast<std::uint8_t>(name);
    return Uuid(bytes);
}

std::vector<Uuid> rows(std::string_view names)
{
    std::vector<Uuid> ids;
    for (char name : names)
        ids.push_back(row(name));
    return ids;
}

std::string names(const std::vector<Uuid>& ids)
{
    std::string text;
    for (const Uuid& id : ids)
        text += static_cast<char>(id.bytes()[15]);
    return text;
}

std::string name(const std::optional<Uuid>& id) { return id ? names({*id}) : "-"; }

using Action = std::function<bool(RowSelection&)>;

Action click(char r)
{
    return [r](RowSelection& s) { return s.selectOnly(row(r)); };
}
Action ctrlClick(char r)
{
    return [r](RowSelection& s) { return s.toggle(row(r)); };
}
Action shiftClick(char r)
{
    return [r](RowSelection& s) { return s.extendTo(row(r)); };
}
Action key(Step step, bool shift = false)
{
    return [step, shift](RowSelection& s) { return s.move(step, shift); };
}
Action selectAll()
{
    return [](RowSelection& s) { return s.selectAll(); };
}
Action clear()
{
    return [](RowSelection& s) { return s.clear(); };
}
Action select(std::string_view ids)
{
    return [ids = rows(ids)](RowSelection& s) { return s.select(ids); };
}
Action relist(std::string_view now)
{
    return [now = rows(now)](RowSelection& s) { return s.setRows(now); };
}

struct Case {
    const char* what;
    std::vector<Action> actions; // on the rows ABCDE
    // The selected rows in list order, the anchor and the current row ("-" for none).
    const char* after;
    bool lastChanged; // what the last action yielded
};

TEST(RowSelectionTest, ActionsLeaveTheSelectionAPersonExpects)
{
    const bool changed = true, unchanged = false;
    const Case cases[] = {
        {"click", {click('C')}, "C C C", changed},
        {"click again on the only selected row", {click('C'), click('C')}, "C C C", unchanged},
        {"click replaces", {click('A'), ctrlClick('C'), click('D')}, "D D D", changed},
        {"ctrl-click adds", {click('A'), ctrlClick('C')}, "AC C C", changed},
        {"ctrl-click removes; the anchor moves there all the same",
         {click('A'), ctrlClick('C'), ctrlClick('A')},
         "C A A",
         changed},
        {"shift-click down", {click('B'), shiftClick('D')}, "BCD B D", changed},
        {"shift-click up", {click('D'), shiftClick('B')}, "BCD D B", changed},
        {"shift-click again narrows from the same anchor",
         {click('B'), shiftClick('E'), shiftClick('C')},
         "BC B C",
         changed},
        {"shift-click after ctrl-click starts at the ctrl-clicked row",
         {click('A'), ctrlClick('D'), shiftClick('E')},
         "DE D E",
         changed},
        {"shift-click without an anchor selects the row alone",
         {shiftClick('C')},
         "C C C",
         changed},
        {"select all", {click('B'), selectAll()}, "ABCDE B B", changed},
        {"clearing keeps the anchor", {click('B'), clear(), shiftClick('C')}, "BC B C", changed},
        {"select takes listed ids only; the last is the anchor",
         {select("EXB")},
         "BE B B",
         changed},
        {"select ending in an unlisted id keeps the anchor",
         {click('A'), select("CX")},
         "C A A",
         changed},
        {"select nothing", {click('A'), select("")}, " A A", changed},
        {"clicking an unlisted row does nothing", {click('A'), click('X')}, "A A A", unchanged},

        {"down from nothing lands on the first row", {key(Step::down)}, "A A A", changed},
        {"up from nothing lands on the first row", {key(Step::up)}, "A A A", changed},
        {"down", {click('B'), key(Step::down)}, "C C C", changed},
        {"up stops at the top", {click('A'), key(Step::up)}, "A A A", unchanged},
        {"down stops at the bottom", {click('E'), key(Step::down)}, "E E E", unchanged},
        {"end, then home", {click('C'), key(Step::last), key(Step::first)}, "A A A", changed},
        {"shift+down extends", {click('B'), key(Step::down, true)}, "BC B C", changed},
        {"shift+down twice extends twice",
         {click('B'), key(Step::down, true), key(Step::down, true)},
         "BCD B D",
         changed},
        {"shift+up after shift+down shrinks back",
         {click('B'), key(Step::down, true), key(Step::down, true), key(Step::up, true)},
         "BC B C",
         changed},
        {"shift+up past the anchor turns the range round",
         {click('C'), key(Step::down, true), key(Step::up, true), key(Step::up, true)},
         "BC C B",
         changed},
        {"shift+end", {click('B'), key(Step::last, true)}, "BCDE B E", changed},
        {"a plain arrow after a range moves from its moving end",
         {click('B'), shiftClick('D'), key(Step::down)},
         "E E E",
         changed},
        {"shift+arrow from nothing selects the row it lands on",
         {key(Step::down, true)},
         "A A A",
         changed},

        {"rows removed under the selection leave it",
         {click('B'), shiftClick('D'), relist("ABE")},
         "B B -",
         changed},
        {"the anchor removed: shift-click selects alone",
         {click('B'), relist("ACDE"), shiftClick('D')},
         "D D D",
         changed},
        {"rows moved keep their selection",
         {click('B'), ctrlClick('D'), relist("DCBAE")},
         "DB D D",
         unchanged},
        {"a range after a reorder follows the new order",
         {click('A'), relist("EDCBA"), shiftClick('C')},
         "CBA A C",
         changed},
        {"down after the current row was removed starts at the top",
         {click('C'), relist("ABDE"), key(Step::down)},
         "A A A",
         changed},
        {"every row removed", {selectAll(), relist("")}, " - -", changed},
        {"keys in an empty list do nothing", {relist(""), key(Step::down)}, " - -", unchanged},
    };
    for (const Case& c : cases) {
        RowSelection selection;
        selection.setRows(rows("ABCDE"));
        bool last = false;
        for (const Action& action : c.actions)
            last = action(selection);
        const std::string selected = names(selection.selected());
        EXPECT_EQ(selected + " " + name(selection.anchor()) + " " + name(selection.current()),
                  c.after)
            << c.what;
        EXPECT_EQ(selection.count(), selected.size()) << c.what;
        EXPECT_EQ(last, c.lastChanged) << c.what;
    }
}

} // namespace
} // namespace ambrevoli
