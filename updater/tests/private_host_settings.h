#pragma once

#include <QSettings>
#include <QTemporaryDir>

namespace ambrevoli {

// Files the host's settings (hostSettings) in a temporary folder of this test program's own, for
// as long as it lives: test programs that run at the same time, and the user's own settings, are
// left alone. Make one before the program first reads them.
class PrivateHostSettings {
public:
    PrivateHostSettings()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_folder.path());
    }

private:
    QTemporaryDir m_folder;
};

} // namespace ambrevoli
