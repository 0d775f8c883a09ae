#include "update_verifier.h"

#include "package_fields.h"

#include <sodium.h>

#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ambrevoli {

namespace {

// The file's bytes, mapped read-only for as long as this lives.
class Mapping {
public:
    Mapping(int fd, std::size_t size)
        : m_size(size),
          m_bytes(size == 0 ? nullptr : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0))
    {}
    ~Mapping()
    {
        if (m_bytes && m_bytes != MAP_FAILED)
            ::munmap(m_bytes, m_size);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    bool failed() const { return m_bytes == MAP_FAILED; }
    const unsigned char* bytes() const { return static_cast<const unsigned char*>(m_bytes); }

private:
    std::size_t m_size;
    void* m_bytes;
};

// The package's own word on what it is, read from the descriptor that was verified.
std::expected<void, UpdateError> checkPackage(int fd, const AppcastItem& item,
                                              const UpdateTrust& trust)
{
    auto refuse = [](std::string why) {
        return std::unexpected(UpdateError::make(UpdateError::Case::notOurPackage, std::move(why)));
    };
    const auto fields = readPackageFields(fd);
    if (!fields)
        return refuse("not a Debian package");
    if (fields->package != trust.packageName)
        return refuse("package " + fields->package.toStdString());
    if (fields->version != item.version)
        return refuse("version " + fields->version.toStdString());
    if (fields->architecture != trust.architecture && fields->architecture != u"all")
        return refuse("architecture " + fields->architecture.toStdString());
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

std::expected<void, UpdateError> verifyUpdate(int fd, const AppcastItem& item,
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
    if (item.length < 0)
        return std::unexpected(UpdateError::make(wrongLength, "the feed gives no length"));

    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::unexpected(UpdateError::make(saveFailed, std::strerror(errno)));
    if (!S_ISREG(info.st_mode))
        return std::unexpected(UpdateError::make(notOurPackage, "not a file"));
    if (info.st_size != item.length)
        return std::unexpected(UpdateError::make(wrongLength, std::to_string(info.st_size) +
                                                                  " instead of " +
                                                                  std::to_string(item.length)));
    const Mapping file(fd, std::size_t(info.st_size));
    if (file.failed())
        return std::unexpected(UpdateError::make(saveFailed, std::strerror(errno)));

    if (sodium_init() < 0)
        return std::unexpected(UpdateError::make(badSignature));
    if (crypto_sign_verify_detached(
            reinterpret_cast<const unsigned char*>(signature.decoded.constData()), file.bytes(),
            static_cast<unsigned long long>(info.st_size),
            reinterpret_cast<const unsigned char*>(trust.publicKey.constData())) != 0)
        return std::unexpected(UpdateError::make(badSignature));
    return checkPackage(fd, item, trust);
}

} // namespace ambrevoli
