#include "folder_chooser.h"

#include "local_paths.h"
#include "log.h"
#include "window_activation.h"

#include <QAbstractItemView>
#include <QFileDialog>
#include <QUrl>

#include <utility>

namespace ambrevoli {

namespace {

// The chooser handed back a location that is not a file on this machine.
struct FolderPickerError {
    std::string location;
};

std::string textualForm(const FolderPickerError& error)
{
    return "notAFileLocation(" + error.location + ")";
}
std::string_view errorDomain(const FolderPickerError&) { return "FolderPickerError"; }
long errorCode(const FolderPickerError&) { return 1; }

// Qt's own chooser picks one folder unless its views are told otherwise; the desktop's choosers
// have no such views and answer with what they allow.
void allowSeveralFolders(QFileDialog& chooser)
{
    for (auto* view : chooser.findChildren<QAbstractItemView*>())
        if (view->objectName() == QLatin1String("listView") ||
            view->objectName() == QLatin1String("treeView"))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
}

} // namespace

FolderChooser::FolderChooser(QWidget& parent, QString title, Selection selection)
    : QObject(&parent), m_parent(parent), m_title(std::move(title)), m_selection(selection)
{}

void FolderChooser::open(const QString& activationToken)
{
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    m_dialog = new QFileDialog(&m_parent, m_title);
    m_dialog->setFileMode(QFileDialog::Directory);
    m_dialog->setAcceptMode(QFileDialog::AcceptOpen);
    // Read on acceptance rather than from urlsSelected, which Qt's own chooser never sends.
    connect(m_dialog, &QFileDialog::finished, this, [this](int result) {
        QFileDialog* dialog = std::exchange(m_dialog, nullptr);
        dialog->deleteLater();
        if (result == QDialog::Accepted)
            finish(dialog->selectedUrls());
        else
            emit cancelled();
    });
    m_dialog->open();
    if (!activationToken.isEmpty())
        bringToFront(*m_dialog, activationToken);
    if (m_selection == Selection::several)
        allowSeveralFolders(*m_dialog);
}

void FolderChooser::finish(const QList<QUrl>& urls)
{
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        auto path = localPathOf(url);
        if (!path) {
            logError(logger("settings"), "The folder picker failed",
                     FolderPickerError{url.toString().toStdString()});
            return;
        }
        paths.push_back(std::move(*path));
    }
    emit chosen(paths);
}

} // namespace ambrevoli
