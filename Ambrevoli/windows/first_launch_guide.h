#pragma once

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class QLabel;
class QPushButton;

namespace ambrevoli {

class DestinationsModel;
class FolderChooser;
class SetupStatus;

// One step of the welcome guide: a badge (a green check once the step is done, its number in a
// circle before), its title, one sentence on where it stands, and, only while it is not done, the
// button that does it. Shows what it is given; the guide works the content out.
class GuideStep : public QWidget {
    Q_OBJECT

public:
    struct Action {
        QString title;
        std::function<void()> run;
    };

    struct Content {
        int number = 1;
        QString title;
        QString detail;
        bool isDone = false;
        std::optional<Action> action; // shown only while not done
    };

    explicit GuideStep(QWidget* parent = nullptr);

    void setContent(Content content);

private:
    QLabel* m_badge = nullptr;
    QLabel* m_title = nullptr;
    QLabel* m_detail = nullptr;
    QPushButton* m_button = nullptr;
    std::function<void()> m_action;
};

// The welcome window's content: the three things that make Send To work (the extension of the
// file manager the user runs, notifications, a first destination), each with its state and the
// button that does it (a restart of the file manager only once the user confirmed it, since it
// closes the file manager's windows), and "Done", which calls `finish`. Keeps no step state: every
// step is worked out again from `status` and `destinations` whenever either changes, so a step
// turns done by itself, whoever completed it. Never refreshes either; the window coordinator does.
//
// "Done" is the default button: Return activates it wherever the guide is shown. Fixed width;
// its height follows the content, and so does the size of the window it is shown in. Main thread
// only; `status` and `destinations` must outlive it.
class FirstLaunchGuide : public QWidget {
    Q_OBJECT

public:
    FirstLaunchGuide(SetupStatus& status, DestinationsModel& destinations,
                     std::function<void()> finish, QWidget* parent = nullptr);
    ~FirstLaunchGuide() override;

    // Whether the folder chooser of the third step is open.
    bool isChoosingFolder() const;

    static constexpr int contentWidth = 480;

private:
    // The steps as they stand; their buttons act on this guide.
    std::array<GuideStep::Content, 3> steps();
    void updateSteps();

    SetupStatus& m_status;
    DestinationsModel& m_destinations;
    std::function<void()> m_finish;
    QLabel* m_introduction = nullptr;
    std::array<GuideStep*, 3> m_steps{};
    FolderChooser* m_chooser = nullptr;
};

} // namespace ambrevoli
