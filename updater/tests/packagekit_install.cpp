// Installs a package through the system's PackageKit with the updater's installer, for the check
// in a real PackageKit (packagekit_check.sh). The verifier takes the bytes the package held when
// it was opened, as the updater takes the ones it checked.
//
// Usage: updater_packagekit_install <package.deb>
// Prints "progress N" as PackageKit reports it, then "installed" or "error <textual form>";
// exits 0 when installed, 1 when not, 2 on wrong use.

#include "package_installer.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>

#include <cstdio>

using namespace ambrevoli;

namespace {

QByteArray bytesAt(int fd)
{
    QFile file(QStringLiteral("/proc/self/fd/%1").arg(fd));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <package.deb>\n", argv[0]);
        return 2;
    }
    UniqueFd package(::open(argv[1], O_RDONLY | O_CLOEXEC));
    if (!package) {
        std::perror(argv[1]);
        return 2;
    }
    const QByteArray verified = bytesAt(package.get());
    PackageInstaller installer;
    installer.install(
        std::move(package),
        [verified](int fd) -> std::expected<void, UpdateError> {
            if (bytesAt(fd) != verified)
                return std::unexpected(UpdateError::make(UpdateError::Case::badSignature));
            return {};
        },
        [](int percent) { std::printf("progress %d\n", percent); },
        [](std::expected<void, UpdateError> outcome) {
            if (outcome)
                std::printf("installed\n");
            else
                std::printf("error %s\n", textualForm(outcome.error()).c_str());
            std::fflush(stdout);
            QCoreApplication::exit(outcome ? 0 : 1);
        });
    return app.exec();
}
