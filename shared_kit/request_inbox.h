#pragma once

#include "error.h"
#include "send_request.h"
#include "uuid.h"

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

namespace ambrevoli {

struct RequestInboxError {
    enum class Case { notFound, notARegularFile, tooLarge, idMismatch, unsafeInbox };

    Case kind;
    Uuid id; // the identifier asked for; nil for unsafeInbox

    static RequestInboxError notFound(Uuid id) { return {Case::notFound, id}; }
    static RequestInboxError notARegularFile(Uuid id) { return {Case::notARegularFile, id}; }
    static RequestInboxError tooLarge(Uuid id) { return {Case::tooLarge, id}; }
    static RequestInboxError idMismatch(Uuid id) { return {Case::idMismatch, id}; }
    static RequestInboxError unsafeInbox() { return {Case::unsafeInbox, Uuid()}; }

    friend bool operator==(const RequestInboxError&, const RequestInboxError&) = default;
};

std::string textualForm(const RequestInboxError& e); // "notFound(3F2C…)", "unsafeInbox"
std::string_view errorDomain(const RequestInboxError& e);
long errorCode(const RequestInboxError& e);

// The folder through which senders hand requests to the host: one regular file per pending
// request, named "<UUID>.json". Writers and the reader are separate processes sharing only the
// folder; atomic writes and remove-before-decode keep them consistent without locks.
// A plain value; every operation is synchronous.
class RequestInbox {
public:
    static constexpr std::int64_t defaultMaxFileSize = 16'777'216;

    using WriteFailure = std::variant<SystemError, EncodeError>;
    using TakeFailure = std::variant<RequestInboxError, SystemError, SendRequestError, DecodeError>;
    using SweepFailure = std::variant<RequestInboxError, SystemError>;

    // `maxFileSize` is kept within [0, INT64_MAX - 1]: a read asks for one byte more.
    explicit RequestInbox(std::string folder, std::int64_t maxFileSize = defaultMaxFileSize);

    const std::string& folder() const { return m_folder; }
    std::int64_t maxFileSize() const { return m_maxFileSize; }

    // "<UUID>.json" with the identifier in upper case.
    static std::string fileName(const Uuid& id);

    // Creates the folder (and its parents) when missing, mode 0700, and writes the request's JSON
    // form atomically under its file name. On success yields the file's path. The size limit is not
    // applied here.
    std::expected<std::string, WriteFailure> write(const SendRequest& request) const;

    // Reads the request file for `id`, removes it, then decodes it: a file is handed out at
    // most once, and a malformed one is consumed by the attempt. Links, special files, oversized
    // files and a swapped inbox folder are refused (tooLarge and notARegularFile leave the file
    // for the next sweep). A removal that fails (another taker won) hands nothing out.
    std::expected<SendRequest, TakeFailure> take(const Uuid& id) const;

    // Removes regular files older than `maxAge` seconds (by modification time) or larger than
    // maxFileSize, empty folders, and every link, FIFO, socket or device, never following a
    // link. A missing inbox yields 0. On success yields the number of entries removed. An inbox
    // that cannot be listed to its end fails with the system's error (what was removed before
    // stays removed).
    std::expected<std::int64_t, SweepFailure> sweep(double now, double maxAge) const;

private:
    std::string m_folder;
    std::int64_t m_maxFileSize;
};

} // namespace ambrevoli
