#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <string>
#include <vector>

class QFileDialog;
class QUrl;
class QWidget;

namespace ambrevoli {

// The desktop's chooser for folders (Qt's platform theme or the file-chooser portal), opened
// window-modal over `parent`, which owns it. Windows ask it for folders and hand what it answers
// to the destinations model.
//
// Main thread only.
class FolderChooser : public QObject {
    Q_OBJECT

public:
    enum class Selection { one, several };

    FolderChooser(QWidget& parent, QString title, Selection selection);

    bool isOpen() const { return m_dialog != nullptr; }

    // Opens the chooser, or brings it to the front when it is open already. With an
    // activation token (see window_activation.h) it takes the focus from whatever the user
    // works in.
    void open(const QString& activationToken = {});

signals:
    // The user chose `paths` (local paths, in the chooser's order) and the chooser has closed.
    // Not sent when the user cancels, nor when the chooser hands back a location that is not a
    // file on this machine: that failure is logged as "The folder picker failed" in the
    // settings category, and nothing is chosen.
    void chosen(const std::vector<std::string>& paths);
    // The user closed the chooser without choosing.
    void cancelled();

private:
    void finish(const QList<QUrl>& urls);

    QWidget& m_parent;
    QString m_title;
    Selection m_selection;
    QFileDialog* m_dialog = nullptr;
};

} // namespace ambrevoli
