#include "update_verifier.h"

#include <QFile>
#include <QProcess>

#include <sodium.h>

namespace ambrevoli {

namespace {

// Reads the control fields with dpkg-deb, which knows every compression a package may use.
std::expected<void, UpdateError> checkPackage(const QString& path, const AppcastItem& item,
                                              const UpdateTrust& trust)
{
    auto refuse = [](std::string why) {
        return std::unexpected(UpdateError::make(UpdateError::Case::notOurPackage, std::move(why)));
    };
    QProcess dpkg;
    dpkg.start(QStringLiteral("dpkg-deb"),
               {QStringLiteral("--field"), path, QStringLiteral("Package"),
                QStringLiteral("Version"), QStringLiteral("Architecture")});
    if (!dpkg.waitForFinished(60000) || dpkg.exitStatus() != QProcess::NormalExit ||
        dpkg.exitCode() != 0)
        return refuse("not a Debian package");
    QString package, version, architecture;
    for (const QString& line : QString::fromUtf8(dpkg.readAllStandardOutput()).split(u'\n')) {
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0)
            continue;
        const QString name = line.left(colon);
        const QString value = line.mid(colon + 1).trimmed();
        if (name == u"Package")
            package = value;
        else if (name == u"Version")
            version = value;
        else if (name == u"Architecture")
            architecture = value;
    }
    if (package != trust.packageName)
        return refuse("package " + package.toStdString());
    if (version != item.version)
        return refuse("version " + version.toStdString());
    if (architecture != trust.architecture && architecture != u"all")
        return refuse("architecture " + architecture.toStdString());
    return {};
}

} // namespace

QByteArray decodePublicKey(const QString& base64)
{
    const auto decoded = QByteArray::fromBase64Encoding(base64.trimmed().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != crypto_sign_PUBLICKEYBYTES)
        return {};
    return decoded.decoded;
}

std::expected<void, UpdateError> verifyUpdate(const QString& path, const AppcastItem& item,
                                              const UpdateTrust& trust)
{
    using enum UpdateError::Case;
    if (item.edSignature.isEmpty())
        return std::unexpected(UpdateError::make(unsigned_));
    const auto signature = QByteArray::fromBase64Encoding(item.edSignature.toLatin1(),
                                                          QByteArray::AbortOnBase64DecodingErrors);
    if (!signature || signature.decoded.size() != crypto_sign_BYTES ||
        trust.publicKey.size() != crypto_sign_PUBLICKEYBYTES)
        return std::unexpected(UpdateError::make(badSignature));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(UpdateError::make(downloadFailed, file.errorString().toStdString()));
    if (item.length >= 0 && file.size() != item.length)
        return std::unexpected(UpdateError::make(wrongLength, std::to_string(file.size()) +
                                                                  " instead of " +
                                                                  std::to_string(item.length)));
    const QByteArray bytes = file.readAll();
    if (bytes.size() != file.size())
        return std::unexpected(UpdateError::make(downloadFailed, file.errorString().toStdString()));

    if (sodium_init() < 0)
        return std::unexpected(UpdateError::make(badSignature));
    if (crypto_sign_verify_detached(
            reinterpret_cast<const unsigned char*>(signature.decoded.constData()),
            reinterpret_cast<const unsigned char*>(bytes.constData()),
            static_cast<unsigned long long>(bytes.size()),
            reinterpret_cast<const unsigned char*>(trust.publicKey.constData())) != 0)
        return std::unexpected(UpdateError::make(badSignature));
    return checkPackage(path, item, trust);
}

} // namespace ambrevoli
