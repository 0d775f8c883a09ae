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

// Checks the downloaded file at `path` against the feed's `item` before anything else reads it:
// its length (when the feed gives one), then the Ed25519 signature over all its bytes, then its
// control fields — the package `trust` names, the item's version, and an architecture that runs
// here. Success: nothing. Failure: unsigned_, badSignature (also a malformed signature),
// wrongLength, or notOurPackage (also a file that is no Debian package). The file is left
// where it is either way; deleting a refused one is the caller's.
std::expected<void, UpdateError> verifyUpdate(const QString& path, const AppcastItem& item,
                                              const UpdateTrust& trust);

} // namespace ambrevoli
