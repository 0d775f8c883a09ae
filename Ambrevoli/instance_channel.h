#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QLocalServer;
class QLocalSocket;

namespace ambrevoli {

// What a later start of the host hands to the running one.
struct InstanceMessage {
    bool activates = false; // whether the running instance may raise a window
    QStringList urls;       // handoff URLs, in the order given
    QStringList addFolders; // folders to add to the destinations
    // The desktop's leave for the window this start opens to take the focus (an activation or
    // startup-notification token); empty for none.
    QString activationToken = {};

    friend bool operator==(const InstanceMessage&, const InstanceMessage&) = default;

    static constexpr qsizetype maxSize = 1 << 20;

    // The wire form: "AMBV1\0", then one record per field — a type byte ('a' activates,
    // 'u' URL, 'f' folder, 't' activation token, at most one) and NUL-terminated UTF-8 text. Paths and arguments cannot hold NUL.
    QByteArray encode() const;
    // None for anything that is not exactly that form, is larger than maxSize or not UTF-8.
    static std::optional<InstanceMessage> decode(const QByteArray& bytes);
};

// Keeps the host to one instance per user. The first process listens on a local socket in a
// private (0700) folder of the user's runtime directory; a later one hands its message to it and
// exits. A socket left by a crashed instance is recognised (nobody answers) and replaced.
// Main thread only.
class InstanceChannel : public QObject {
    Q_OBJECT

public:
    enum class Role { primary, forwarded, failed };

    // `socketPath`: where to listen or connect; see defaultSocketPath().
    explicit InstanceChannel(QString socketPath, QObject* parent = nullptr);
    ~InstanceChannel() override;

    // $XDG_RUNTIME_DIR/ambrevoli/instance, or `fallbackFolder` + "/instance" without a runtime
    // directory. The folder is created 0700 when missing. Empty when neither can be used.
    static QString defaultSocketPath(const QString& fallbackFolder);

    // Hands `message` to the instance listening at `socketPath` and yields true once it
    // confirmed receipt. Needs no Qt application object, so a later start can hand its work
    // over before paying for one. False when no instance answers.
    static bool handOff(const QString& socketPath, const InstanceMessage& message);

    // Hands `message` to a running instance and yields forwarded once it confirmed receipt; or,
    // with no instance running, starts listening and yields primary. failed when neither works.
    Role start(const InstanceMessage& message);

signals:
    // A later start delivered `message` (primary only).
    void messageReceived(const ambrevoli::InstanceMessage& message);

private:
    void accept();
    void readFrom(QLocalSocket* socket);

    QString m_socketPath;
    QLocalServer* m_server = nullptr;
};

} // namespace ambrevoli

Q_DECLARE_METATYPE(ambrevoli::InstanceMessage)
