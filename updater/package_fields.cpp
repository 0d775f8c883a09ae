#include "package_fields.h"

#include <QProcess>

#include <unistd.h>

#include <functional>

namespace ambrevoli {

namespace {

constexpr int dpkgTimeoutMs = 60000;

std::expected<PackageFields, QString> readFields(const QString& path,
                                                 std::function<void()> childSetup)
{
    QProcess dpkg;
    if (childSetup)
        dpkg.setChildProcessModifier(std::move(childSetup));
    dpkg.start(QStringLiteral("dpkg-deb"),
               {QStringLiteral("--field"), path, QStringLiteral("Package"),
                QStringLiteral("Version"), QStringLiteral("Architecture")});
    if (!dpkg.waitForFinished(dpkgTimeoutMs) || dpkg.exitStatus() != QProcess::NormalExit ||
        dpkg.exitCode() != 0) {
        const QString said = QString::fromLocal8Bit(dpkg.readAllStandardError()).trimmed();
        return std::unexpected(said.isEmpty() ? dpkg.errorString() : said);
    }
    PackageFields fields;
    for (const QString& line : QString::fromUtf8(dpkg.readAllStandardOutput()).split(u'\n')) {
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0)
            continue;
        const QString name = line.left(colon);
        const QString value = line.mid(colon + 1).trimmed();
        if (name == u"Package")
            fields.package = value;
        else if (name == u"Version")
            fields.version = value;
        else if (name == u"Architecture")
            fields.architecture = value;
    }
    return fields;
}

} // namespace

std::expected<PackageFields, QString> readPackageFields(const QString& path)
{
    return readFields(path, {});
}

std::expected<PackageFields, QString> readPackageFields(int fd)
{
    return readFields(QStringLiteral("/dev/stdin"), [fd] {
        if (fd != STDIN_FILENO)
            ::dup2(fd, STDIN_FILENO);
    });
}

} // namespace ambrevoli
