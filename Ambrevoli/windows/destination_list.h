#pragma once

#include "row_selection.h"
#include "uuid.h"

#include <QScrollArea>

#include <optional>
#include <unordered_map>
#include <vector>

class QMimeData;

namespace ambrevoli {

class DestinationRow;
class DestinationsModel;

// The settings window's list of destinations: one DestinationRow per destination in store
// order, with the list's own selection (a RowSelection: click, Ctrl-click, Shift-click, the
// arrow keys), reordering by dragging rows, folders dropped from the file manager, and the "No
// Destinations" placeholder over an empty list. Rows are real child widgets, so every name field
// is an accessible object of its own.
//
// Drops from the file manager go through the model's addFolders and, when they land before a
// row, its move; the new and already listed folders become the selection. A dragged row goes
// through the model's move and leaves the selection alone. Main thread only; `model` must
// outlive the list.
class DestinationList : public QScrollArea {
    Q_OBJECT

public:
    explicit DestinationList(DestinationsModel& model, QWidget* parent = nullptr);
    ~DestinationList() override;

    // Takes up the model's destinations: adds, removes and orders rows, refreshes their paths,
    // labels and missing state, and drops vanished destinations from the selection.
    void reload();

    // The rows, top to bottom.
    const std::vector<DestinationRow*>& rows() const { return m_order; }

    // The selected destinations, in list order.
    std::vector<Uuid> selection() const;
    // Selects exactly the listed destinations that are in `ids`.
    void setSelection(const std::vector<Uuid>& ids);

    // Ends a label edit in progress in any row.
    void endEditing();

    // Selects every row: Ctrl+A, or the menu's Select All, while the list has the focus.
    Q_INVOKABLE void selectAll();
    // The delete command from the menu while the list has the focus: as the Delete key.
    Q_INVOKABLE void deleteSelection();

    // What a drag of the rows `ids` carries: their identifiers, for this process only.
    static QMimeData* rowsMimeData(const std::vector<Uuid>& ids);

signals:
    void selectionChanged();
    // The delete command (the Delete key, or the menu's Delete) while the list has the keyboard
    // focus.
    void deleteRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    enum class DropKind { none, rows, folders };

    DropKind acceptDrag(QDropEvent* event) const;
    // The row a drop at `viewportPos` lands before; none for the end of the list.
    std::optional<Uuid> dropTarget(QPoint viewportPos) const;
    void showDropIndicator(QPoint viewportPos);
    DestinationRow* rowAt(QPoint viewportPos) const;
    void selectOnly(const Uuid& id);
    void moveCurrent(RowSelection::Step step, bool extend);
    // Shows an edit of m_selection that yielded `changed`.
    void selectionEdited(bool changed);
    void scrollTo(const std::optional<Uuid>& id);
    void updateHighlight();
    void startDrag();

    DestinationsModel& m_model;
    QWidget* m_rowsArea = nullptr;
    QWidget* m_placeholder = nullptr;
    QWidget* m_dropIndicator = nullptr;

    std::unordered_map<Uuid, DestinationRow*> m_rows;
    std::vector<DestinationRow*> m_order;
    RowSelection m_selection;

    // The row a left press landed on, while the button is down.
    std::optional<Uuid> m_pressed;
    QPoint m_pressPos;
    // A plain press on a row that was already selected selects it alone on release, unless a
    // drag of the whole selection started instead.
    bool m_selectOnRelease = false;
};

} // namespace ambrevoli
