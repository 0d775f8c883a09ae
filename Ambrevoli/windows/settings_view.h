#pragma once

#include "uuid.h"

#include <QWidget>

#include <string>
#include <vector>

class QAction;
class QCheckBox;
class QLabel;
class QStackedWidget;

namespace ambrevoli {

class DestinationList;
class DestinationsModel;
class FolderChooser;
class SetupStatus;
class SoftwareUpdater;
class UnreadableFileNotice;

// The settings window's content: the destination list with its toolbar, the notifications-off
// banner and the save-error caption, or, while the destinations file cannot be read, the notice
// that offers Start Fresh. Holds no data of its own beyond the selection: it reads `model` and
// `setup`, makes every change through `model`, and redraws on their change signals.
//
// Below the list, the "Show drives in Send To" switch, kept in the menu options file beside the
// destinations file. With an updater, the updates bar sits at the list's foot.
//
// Main thread only. `model`, `setup` and `updater` must outlive the view.
class SettingsView : public QWidget {
    Q_OBJECT

public:
    SettingsView(DestinationsModel& model, SetupStatus& setup, SoftwareUpdater* updater = nullptr,
                 QWidget* parent = nullptr);
    ~SettingsView() override;

    // Ends a label edit in progress, as if the name field lost focus: the field shows the saved
    // label again. The window calls this when it closes.
    void endEditing();

    // The selected destinations, in list order.
    std::vector<Uuid> selection() const;

    // Whether the folder chooser is open.
    bool isChoosingFolders() const;

    // The content is never smaller than this, in device-independent pixels.
    static constexpr QSize minimumContentSize{460, 320};

private:
    void removeSelection();
    void shiftSelection(int step);
    void updateContent();
    void updateActions();
    void updateBanner();
    void updateSaveError();
    void setShowsDrives(bool shows);
    std::string menuOptionsFile() const;

    DestinationsModel& m_model;
    SetupStatus& m_setup;

    QStackedWidget* m_stack = nullptr;
    DestinationList* m_list = nullptr;
    QWidget* m_banner = nullptr;
    QLabel* m_saveError = nullptr;
    UnreadableFileNotice* m_notice = nullptr;
    FolderChooser* m_chooser = nullptr;
    QCheckBox* m_showDrives = nullptr;

    QAction* m_addFolder = nullptr;
    QAction* m_remove = nullptr;
    QAction* m_moveUp = nullptr;
    QAction* m_moveDown = nullptr;
};

} // namespace ambrevoli
