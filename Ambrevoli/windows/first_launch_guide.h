#pragma once

#include <QWidget>

#include <functional>

namespace ambrevoli {

class DestinationsModel;
class SetupStatus;

// The welcome guide's content: the steps that make Send To work, and "Done", which calls
// `finish`. `status` and `destinations` must outlive the guide. Main thread only.
class FirstLaunchGuide : public QWidget {
    Q_OBJECT

public:
    FirstLaunchGuide(SetupStatus& status, DestinationsModel& destinations,
                     std::function<void()> finish, QWidget* parent = nullptr);
};

} // namespace ambrevoli
