#pragma once

#include "destination_store.h"

#include <QWidget>

#include <optional>
#include <string>

class QLabel;
class QPushButton;

namespace ambrevoli {

// What the settings window shows instead of the list while the destinations file can't be
// read: why, what Start Fresh does, the last Start Fresh failure in red, and the Start Fresh
// button. Shows what it is given; the settings view feeds it from the model.
class UnreadableFileNotice : public QWidget {
    Q_OBJECT

public:
    explicit UnreadableFileNotice(QWidget* parent = nullptr);

    void setProblem(const DestinationStoreError& problem);
    // The model's saveError, shown as a second paragraph in red; none hides it.
    void setFailure(const std::optional<std::string>& failure);

    // The explanation for `problem`: the reason, then what Start Fresh does.
    static QString explanation(const DestinationStoreError& problem);

signals:
    void startFreshClicked();

private:
    QLabel* m_explanation = nullptr;
    QLabel* m_failure = nullptr;
    QPushButton* m_startFresh = nullptr;
};

} // namespace ambrevoli
