#pragma once

#include "appcast.h"
#include "update_error.h"

#include <QByteArray>
#include <QString>

#include <expected>

namespace ambrevoli {

// Whom an update must come from and what it must be to be installed here.
struct UpdateTrust {
    QByteArray publicKey; // the Ed25519 public key, 32 bytes
    QString packageName;  // the Debian package the update must be
    QString architecture; // this computer's (dpkg --print-architecture); "all" fits too
};

// The 32-byte key from its base64 text; empty when the text is not such a key.
QByteArray decodePublicKey(const QString& base64);

// Checks the downloaded file open at `fd` against the feed's `item` before anything else reads
// it: its length (which the feed must give), then the Ed25519 signature over all its bytes, then
// its control fields — the package `trust` names, the item's version, and an architecture that
// runs here. Reads through the descriptor only (the file is mapped, not copied into memory) and
// runs dpkg-deb on that same descriptor, waiting for it: call it off the main thread. Success:
// nothing. Failure: unsigned_, badSignature (also a malformed signature), wrongLength (also when
// the feed gives no length), notOurPackage (also a file that is no Debian package), or saveFailed
// when the file can't be read. Neither moves nor closes `fd`. Thread-safe.
std::expected<void, UpdateError> verifyUpdate(int fd, const AppcastItem& item,
                                              const UpdateTrust& trust);

} // namespace ambrevoli
