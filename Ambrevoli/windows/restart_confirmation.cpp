#include "restart_confirmation.h"

#include "qt_translation.h"
#include "wording.h"

#include <QMessageBox>
#include <QPushButton>

namespace ambrevoli {

void confirmFileManagerRestart(QWidget& parent, FileManager fileManager,
                               std::function<void()> restart)
{
    const QString name = QString::fromStdString(shownFileManagerName(fileManager));
    const QString confirmTitle =
        QString::fromStdString(wording(Phrase::restartFileManager, name.toStdString()));

    auto* question = new QMessageBox(&parent);
    question->setAttribute(Qt::WA_DeleteOnClose);
    question->setWindowModality(Qt::WindowModal);
    question->setIcon(QMessageBox::Question);
    question->setWindowTitle(confirmTitle);
    // TRANSLATORS: the question before restarting the file manager; %1 is its name.
    question->setText(uiText("Restart %1?").arg(name));
    // TRANSLATORS: %1 is the file manager's name.
    question->setInformativeText(uiText("%1 will close its windows and open again.").arg(name));
    QPushButton* confirm = question->addButton(confirmTitle, QMessageBox::AcceptRole);
    confirm->setAccessibleName(confirmTitle);
    QPushButton* cancel = question->addButton(uiText("Cancel"), QMessageBox::RejectRole);
    cancel->setAccessibleName(cancel->text());
    // Return alone must not close the user's windows.
    question->setDefaultButton(cancel);
    question->setEscapeButton(cancel);
    QObject::connect(question, &QMessageBox::buttonClicked, question,
                     [confirm, restart = std::move(restart)](QAbstractButton* pressed) {
                         if (pressed == confirm && restart)
                             restart();
                     });
    question->open();
}

} // namespace ambrevoli
