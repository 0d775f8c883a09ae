#pragma once

// A package the way the release tools and the updater meet one: a real .deb of "ambrevoli",
// built by dpkg-deb from a tree holding only its control file and a README.

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>

namespace ambrevoli::testing {

// Builds the package at `version` for `architecture`, whose README holds `readme`, in the folder
// `root` (made afresh) and then into `deb`. False, with dpkg-deb's complaint in the test log, when
// it could not be built.
inline bool buildTestPackage(const QString& root, const QString& deb, const QString& version,
                             const QString& architecture, const QByteArray& readme)
{
    QDir(root).removeRecursively();
    QDir().mkpath(root + "/DEBIAN");
    QDir().mkpath(root + "/usr/share/doc/ambrevoli");
    QFile control(root + "/DEBIAN/control");
    if (!control.open(QIODevice::WriteOnly))
        return false;
    control.write("Package: ambrevoli\nVersion: " + version.toUtf8() +
                  "\nArchitecture: " + architecture.toUtf8() +
                  "\nMaintainer: Tests <tests@ambrevoli.example>\nDescription: test package\n");
    control.close();
    QFile readmeFile(root + "/usr/share/doc/ambrevoli/README");
    if (!readmeFile.open(QIODevice::WriteOnly))
        return false;
    readmeFile.write(readme);
    readmeFile.close();
    QProcess dpkg;
    dpkg.start("dpkg-deb", {"--root-owner-group", "-Zgzip", "--build", root, deb});
    if (!dpkg.waitForFinished(60000) || dpkg.exitCode() != 0) {
        qWarning() << dpkg.readAllStandardError();
        return false;
    }
    return true;
}

} // namespace ambrevoli::testing
