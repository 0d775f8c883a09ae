#pragma once

#include "destination.h"
#include "uuid.h"

#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;
class QSpacerItem;

namespace ambrevoli {

class DestinationsModel;

// One row of the destination list: the folder symbol (an orange question-mark folder while the
// folder can't be found), the name field, the folder's path and, while missing, the "Missing"
// caption.
//
// The name field is bound to the destination's label in `model`: every keystroke is saved
// through the model's rename, Return shows the label as saved, a field left blank falls back to
// the label it had when editing began, and a change from elsewhere reaches the field only while
// it is not being edited. Main thread only; `model` must outlive the row.
class DestinationRow : public QWidget {
    Q_OBJECT

public:
    DestinationRow(DestinationsModel& model, const Uuid& id, QWidget* parent = nullptr);
    ~DestinationRow() override;

    const Uuid& id() const { return m_id; }

    void setPath(const QString& path);
    void setMissing(bool missing);
    bool isMissing() const { return m_missing; }
    // Shows the model's label now, unless the name field is being edited.
    void takeUpLabel();

    // `emphasized` when the list has the keyboard focus, as the selection is drawn then.
    void setSelected(bool selected, bool emphasized);
    bool isSelected() const { return m_selected; }

    // Whether the name field is being edited (has the keyboard focus, or had it when the window
    // was left).
    bool isEditing() const { return m_editing; }
    // Gives the name field the keyboard focus with its text selected.
    void beginEditing();
    // Stops editing as if the field lost focus: it shows the label as saved.
    void endEditing();

    QLineEdit* nameField() const { return m_field; }

signals:
    // The name field gained the keyboard focus.
    void editingBegan();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString modelLabel() const;
    void draftEdited(const QString& draft);
    void returnPressed();
    void finishEditing();
    void updateColors();

    DestinationsModel& m_model;
    Uuid m_id;
    // The label as it was when editing began or Return was last pressed; present while editing.
    std::optional<LabelDraft> m_rename;
    bool m_editing = false;
    bool m_missing = false;
    bool m_selected = false;
    bool m_emphasized = false;

    QSpacerItem* m_symbolSpace = nullptr;
    QLineEdit* m_field = nullptr;
    QLabel* m_path = nullptr;
    QLabel* m_missingCaption = nullptr;
};

} // namespace ambrevoli
