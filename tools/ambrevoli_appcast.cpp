// ambrevoli-appcast: the maintainer's side of updates.
//
//   ambrevoli-appcast generate-keys KEYFILE
//       makes an Ed25519 key pair, writes the secret key to KEYFILE (mode 0600, never over an
//       existing file) and prints the public key: the value of AMBREVOLI_UPDATE_PUBLIC_KEY.
//   ambrevoli-appcast public-key KEYFILE
//       prints the public key of the secret key in KEYFILE.
//
// Every command that reads KEYFILE refuses one that others may read (any group or other
// permission) or whose public half doesn't belong to its secret half, and every signature is
// checked against the public key before it is printed or written.
//   ambrevoli-appcast sign KEYFILE PACKAGE
//       prints the base64 signature over all of PACKAGE's bytes.
//   ambrevoli-appcast publish KEYFILE FEED BASE-URL PACKAGE [RELEASE-NOTES-URL]
//       signs PACKAGE and writes its item into the update feed FEED (made when missing): the
//       version and display version from the package's control fields, the download address
//       BASE-URL/<file name of PACKAGE>, its length and signature. An item of the same version
//       is replaced; the others stay as they are.
//
// Exits 0 on success, 2 for a usage error, 1 for any other failure (said on stderr).

#include "package_fields.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QUrl>

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <expected>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using ambrevoli::PackageFields;
using ambrevoli::readPackageFields;

namespace {

constexpr char usage[] = "Usage: ambrevoli-appcast generate-keys KEYFILE\n"
                         "       ambrevoli-appcast public-key KEYFILE\n"
                         "       ambrevoli-appcast sign KEYFILE PACKAGE\n"
                         "       ambrevoli-appcast publish KEYFILE FEED BASE-URL PACKAGE "
                         "[RELEASE-NOTES-URL]\n";

// The namespace of the feed's version and signature fields; readers know it by its prefix.
constexpr char feedNamespace[] = "https://ambrevoli.example/xml-namespaces/updates";

template <class T> using Result = std::expected<T, QString>;

QString base64(const QByteArray& bytes) { return QString::fromLatin1(bytes.toBase64()); }

// A secret key in memory, wiped when it goes.
struct SecretKey {
    unsigned char bytes[crypto_sign_SECRETKEYBYTES] = {};

    SecretKey() = default;
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
    ~SecretKey() { sodium_memzero(bytes, sizeof bytes); }
};

// Wipes a buffer that held a secret when it goes.
template <std::size_t size> struct Wiped {
    char bytes[size] = {};
    ~Wiped() { sodium_memzero(bytes, size); }
};

QByteArray publicKeyOf(const SecretKey& secretKey)
{
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    crypto_sign_ed25519_sk_to_pk(reinterpret_cast<unsigned char*>(publicKey.data()),
                                 secretKey.bytes);
    return publicKey;
}

// Reads the key generate-keys wrote into `key`. Refuses a file others may read, and a key whose
// public half does not belong to its secret half: every signature it made would be refused by
// every installed copy.
Result<void> readSecretKey(const QString& path, SecretKey& key)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(path + ": " + QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info {};
    Wiped<256> text;
    ssize_t length = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) == 0)
        do
            length = ::read(fd, text.bytes, sizeof text.bytes);
        while (length < 0 && errno == EINTR);
    const int readError = errno;
    ::close(fd);
    if (!S_ISREG(info.st_mode))
        return std::unexpected(path + ": not a file");
    if ((info.st_mode & 077) != 0)
        return std::unexpected(
            path + QStringLiteral(": others may read it (mode %1); make it yours alone with "
                                  "chmod 600")
                       .arg(info.st_mode & 0777, 4, 8, QLatin1Char('0')));
    if (length < 0)
        return std::unexpected(path + ": " + QString::fromLocal8Bit(std::strerror(readError)));
    std::size_t decoded = 0;
    if (std::size_t(length) == sizeof text.bytes ||
        sodium_base642bin(key.bytes, sizeof key.bytes, text.bytes, std::size_t(length), " \t\r\n",
                          &decoded, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        decoded != sizeof key.bytes)
        return std::unexpected(path + ": not a secret key made by generate-keys");

    unsigned char seed[crypto_sign_SEEDBYTES];
    SecretKey rebuilt;
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_seed(seed, key.bytes);
    crypto_sign_seed_keypair(publicKey, rebuilt.bytes, seed);
    sodium_memzero(seed, sizeof seed);
    if (sodium_memcmp(publicKey, key.bytes + crypto_sign_SEEDBYTES, sizeof publicKey) != 0)
        return std::unexpected(path + ": the key is damaged (its public half doesn't belong to "
                                      "its secret half)");
    return {};
}

Result<QByteArray> readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(path + ": " + file.errorString());
    QByteArray bytes = file.readAll();
    if (bytes.size() != file.size())
        return std::unexpected(path + ": " + file.errorString());
    return bytes;
}

// The signature over `bytes`, checked against the key's public half before anyone sees it.
Result<QByteArray> signature(const QByteArray& bytes, const SecretKey& secretKey)
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    auto* signed_ = reinterpret_cast<unsigned char*>(signature.data());
    const auto* message = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto length = static_cast<unsigned long long>(bytes.size());
    crypto_sign_detached(signed_, nullptr, message, length, secretKey.bytes);
    const QByteArray publicKey = publicKeyOf(secretKey);
    if (crypto_sign_verify_detached(
            signed_, message, length,
            reinterpret_cast<const unsigned char*>(publicKey.constData())) != 0)
        return std::unexpected(QStringLiteral("the signature made doesn't verify with the key's "
                                              "public half; nothing was signed"));
    return signature;
}

int generateKeys(const QString& path)
{
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, '\0');
    SecretKey secretKey;
    crypto_sign_keypair(reinterpret_cast<unsigned char*>(publicKey.data()), secretKey.bytes);
    // Never over an existing key: losing it would orphan every installed copy.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "ambrevoli-appcast: %s: %s\n", qPrintable(path), std::strerror(errno));
        return 1;
    }
    Wiped<sodium_base64_ENCODED_LEN(crypto_sign_SECRETKEYBYTES, sodium_base64_VARIANT_ORIGINAL) + 1>
        text;
    sodium_bin2base64(text.bytes, sizeof text.bytes, secretKey.bytes, sizeof secretKey.bytes,
                      sodium_base64_VARIANT_ORIGINAL);
    const std::size_t size = std::strlen(text.bytes);
    text.bytes[size] = '\n';
    std::size_t written = 0;
    while (written < size + 1) {
        const ssize_t n = ::write(fd, text.bytes + written, size + 1 - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "ambrevoli-appcast: %s: %s\n", qPrintable(path),
                         std::strerror(errno));
            ::close(fd);
            ::unlink(QFile::encodeName(path).constData());
            return 1;
        }
        written += std::size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        std::fprintf(stderr, "ambrevoli-appcast: %s: %s\n", qPrintable(path), std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", qPrintable(base64(publicKey)));
    return 0;
}

Result<PackageFields> readControl(const QString& path)
{
    auto fields = readPackageFields(path);
    if (!fields)
        return std::unexpected(path + ": not a Debian package (" + fields.error() + ")");
    if (fields->version.isEmpty())
        return std::unexpected(path + ": the package names no version");
    return *fields;
}

// What users are shown: the upstream version, without the Debian epoch and revision.
QString displayVersionOf(QString version)
{
    if (const qsizetype colon = version.indexOf(u':'); colon >= 0)
        version = version.mid(colon + 1);
    if (const qsizetype dash = version.lastIndexOf(u'-'); dash > 0)
        version = version.left(dash);
    return version;
}

Result<QDomDocument> loadFeed(const QString& path, const QString& title)
{
    QDomDocument document;
    QFile file(path);
    if (!file.exists()) {
        document.appendChild(document.createProcessingInstruction(
            QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"utf-8\"")));
        QDomElement rss = document.createElement(QStringLiteral("rss"));
        rss.setAttribute(QStringLiteral("version"), QStringLiteral("2.0"));
        rss.setAttribute(QStringLiteral("xmlns:sparkle"), QLatin1StringView(feedNamespace));
        document.appendChild(rss);
        QDomElement channel = document.createElement(QStringLiteral("channel"));
        rss.appendChild(channel);
        QDomElement channelTitle = document.createElement(QStringLiteral("title"));
        channelTitle.appendChild(document.createTextNode(title));
        channel.appendChild(channelTitle);
        return document;
    }
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(path + ": " + file.errorString());
    const auto parsed = document.setContent(&file);
    if (!parsed)
        return std::unexpected(path + ": not XML");
    if (document.documentElement().tagName() != u"rss" ||
        document.documentElement().firstChildElement(QStringLiteral("channel")).isNull())
        return std::unexpected(path + ": not an update feed (no rss channel)");
    return document;
}

QString itemVersion(const QDomElement& item)
{
    const QDomElement version = item.firstChildElement(QStringLiteral("sparkle:version"));
    if (!version.isNull())
        return version.text().trimmed();
    return item.firstChildElement(QStringLiteral("enclosure"))
        .attribute(QStringLiteral("sparkle:version"))
        .trimmed();
}

void addText(QDomDocument& document, QDomElement& parent, const QString& name, const QString& text)
{
    QDomElement element = document.createElement(name);
    element.appendChild(document.createTextNode(text));
    parent.appendChild(element);
}

int publish(const QStringList& arguments)
{
    const QString& keyPath = arguments[0];
    const QString& feedPath = arguments[1];
    QString baseURL = arguments[2];
    const QString& packagePath = arguments[3];
    const QString notesURL = arguments.value(4);
    auto failed = [](const QString& why) {
        std::fprintf(stderr, "ambrevoli-appcast: %s\n", qPrintable(why));
        return 1;
    };

    SecretKey secretKey;
    if (const auto read = readSecretKey(keyPath, secretKey); !read)
        return failed(read.error());
    const auto bytes = readFile(packagePath);
    if (!bytes)
        return failed(bytes.error());
    const auto fields = readControl(packagePath);
    if (!fields)
        return failed(fields.error());
    if (!baseURL.endsWith(u'/'))
        baseURL += u'/';
    const QUrl url = QUrl(baseURL).resolved(
        QUrl(QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(packagePath).fileName()))));
    if (!url.isValid() || url.scheme() != u"https")
        return failed(baseURL + ": the download address must be https");

    const auto signed_ = signature(*bytes, secretKey);
    if (!signed_)
        return failed(packagePath + ": " + signed_.error());

    auto document = loadFeed(feedPath, QStringLiteral("Ambrevoli"));
    if (!document)
        return failed(document.error());
    QDomElement channel = document->documentElement().firstChildElement(QStringLiteral("channel"));
    for (QDomElement item = channel.firstChildElement(QStringLiteral("item")); !item.isNull();) {
        const QDomElement next = item.nextSiblingElement(QStringLiteral("item"));
        if (itemVersion(item) == fields->version)
            channel.removeChild(item);
        item = next;
    }

    QDomElement item = document->createElement(QStringLiteral("item"));
    addText(*document, item, QStringLiteral("title"),
            QStringLiteral("Ambrevoli ") + displayVersionOf(fields->version));
    addText(*document, item, QStringLiteral("pubDate"),
            QLocale::c().toString(QDateTime::currentDateTimeUtc(),
                                  QStringLiteral("ddd, dd MMM yyyy HH:mm:ss +0000")));
    addText(*document, item, QStringLiteral("sparkle:version"), fields->version);
    addText(*document, item, QStringLiteral("sparkle:shortVersionString"),
            displayVersionOf(fields->version));
    if (!notesURL.isEmpty())
        addText(*document, item, QStringLiteral("sparkle:releaseNotesLink"), notesURL);
    QDomElement enclosure = document->createElement(QStringLiteral("enclosure"));
    enclosure.setAttribute(QStringLiteral("url"), url.toString(QUrl::FullyEncoded));
    enclosure.setAttribute(QStringLiteral("length"), QString::number(bytes->size()));
    enclosure.setAttribute(QStringLiteral("type"),
                           QStringLiteral("application/vnd.debian.binary-package"));
    enclosure.setAttribute(QStringLiteral("sparkle:edSignature"), base64(*signed_));
    item.appendChild(enclosure);
    // Newest first, as feed readers list them.
    const QDomElement first = channel.firstChildElement(QStringLiteral("item"));
    if (first.isNull())
        channel.appendChild(item);
    else
        channel.insertBefore(item, first);

    QSaveFile out(feedPath);
    if (!out.open(QIODevice::WriteOnly))
        return failed(feedPath + ": " + out.errorString());
    out.write(document->toByteArray(2));
    if (!out.commit())
        return failed(feedPath + ": " + out.errorString());
    std::printf("%s %s\n", qPrintable(fields->version), qPrintable(url.toString()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const QString command = arguments.value(0);
    if (!arguments.isEmpty())
        arguments.removeFirst();
    if (sodium_init() < 0) {
        std::fputs("ambrevoli-appcast: libsodium can't start\n", stderr);
        return 1;
    }
    if (command == u"generate-keys" && arguments.size() == 1)
        return generateKeys(arguments[0]);
    if ((command == u"public-key" && arguments.size() == 1) ||
        (command == u"sign" && arguments.size() == 2)) {
        SecretKey secretKey;
        if (const auto read = readSecretKey(arguments[0], secretKey); !read) {
            std::fprintf(stderr, "ambrevoli-appcast: %s\n", qPrintable(read.error()));
            return 1;
        }
        if (command == u"public-key") {
            std::printf("%s\n", qPrintable(base64(publicKeyOf(secretKey))));
            return 0;
        }
        const auto bytes = readFile(arguments[1]);
        if (!bytes) {
            std::fprintf(stderr, "ambrevoli-appcast: %s\n", qPrintable(bytes.error()));
            return 1;
        }
        const auto signed_ = signature(*bytes, secretKey);
        if (!signed_) {
            std::fprintf(stderr, "ambrevoli-appcast: %s: %s\n", qPrintable(arguments[1]),
                         qPrintable(signed_.error()));
            return 1;
        }
        std::printf("%s\n", qPrintable(base64(*signed_)));
        return 0;
    }
    if (command == u"publish" && (arguments.size() == 4 || arguments.size() == 5))
        return publish(arguments);
    const bool help = command == u"--help" || command == u"-h";
    std::fputs(usage, help ? stdout : stderr);
    return help ? 0 : 2;
}
