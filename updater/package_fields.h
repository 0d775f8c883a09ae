#pragma once

#include <QString>

#include <expected>

namespace ambrevoli {

// The control fields that say which package a Debian package file is; empty where it names none.
struct PackageFields {
    QString package;
    QString version;
    QString architecture;
};

// Reads them with dpkg-deb, which knows every compression a package may use, from the file at
// `path`. Fails, with what dpkg-deb said, where the file is no package or dpkg-deb is missing or
// takes more than a minute.
std::expected<PackageFields, QString> readPackageFields(const QString& path);

// The same from the open file `fd`, handed to dpkg-deb as its standard input: what it reads is
// that file, whatever its name leads to by now. Reads from the file's current offset.
std::expected<PackageFields, QString> readPackageFields(int fd);

} // namespace ambrevoli
