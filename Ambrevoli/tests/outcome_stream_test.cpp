#include "outcome_stream.h"

#include "host_receipt.h"
#include "outcome_record.h"
#include "unique_fd.h"

#include <QLocalSocket>
#include <QTest>

#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <vector>

using namespace ambrevoli;

Q_DECLARE_METATYPE(std::vector<CopyProgress>)
Q_DECLARE_METATYPE(ProgressFigures)

class OutcomeStreamTest : public QObject {
    Q_OBJECT

private:
    // The sender's end of the connection: the receipt, then every record that came, decoded as a
    // sender decodes them. False once something came that is neither.
    bool m_sound = true;
    bool m_receiptRead = false;
    std::string m_buffer;
    std::vector<OutcomeRecord> m_records;

    void receive(int fd)
    {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
            m_buffer.append(chunk, std::size_t(n));
        if (!m_receiptRead) {
            const auto receipt = decodeReceipt(m_buffer, 0);
            m_sound = receipt.has_value();
            if (!receipt || receipt->consumed == 0)
                return;
            m_receiptRead = true;
            m_buffer.erase(0, receipt->consumed);
        }
        while (m_sound) {
            const auto decoded = decodeOutcome(m_buffer);
            m_sound = decoded.has_value();
            if (!decoded || decoded->consumed == 0)
                return;
            m_records.push_back(decoded->record);
            m_buffer.erase(0, decoded->consumed);
        }
    }

    std::optional<ProgressFigures> latestFigures(int fd)
    {
        receive(fd);
        for (auto record = m_records.rbegin(); record != m_records.rend(); ++record)
            if (record->kind == OutcomeRecord::Kind::progress)
                return record->figures;
        return std::nullopt;
    }

private slots:
    void init()
    {
        m_sound = true;
        m_receiptRead = false;
        m_buffer.clear();
        m_records.clear();
    }

    // A copy's figures need not be sound (its total may be an estimate it outgrew); a sender
    // takes unsound ones for garbage and stops listening. What goes out is the copies' sum, made
    // sound.
    void progressGoesOutSummedAndSound_data()
    {
        QTest::addColumn<std::vector<CopyProgress>>("copies"); // the latest of each
        QTest::addColumn<ProgressFigures>("sent");
        QTest::newRow("one copy") << std::vector<CopyProgress>{{1, 2, 10, 20}}
                                  << ProgressFigures{1, 2, 10, 20};
        QTest::newRow("two copies") << std::vector<CopyProgress>{{1, 2, 10, 20}, {2, 2, 5, 5}}
                                    << ProgressFigures{3, 4, 15, 25};
        QTest::newRow("one without a byte total")
            << std::vector<CopyProgress>{{1, 2, 10, 20}, {0, 3, 7, std::nullopt}}
            << ProgressFigures{1, 5, 17, std::nullopt};
        QTest::newRow("more items done than in all")
            << std::vector<CopyProgress>{{5, 3, 0, 10}} << ProgressFigures{3, 3, 0, 10};
        QTest::newRow("more bytes done than in all")
            << std::vector<CopyProgress>{{0, 1, 50, 20}} << ProgressFigures{0, 1, 20, 20};
        QTest::newRow("negative figures")
            << std::vector<CopyProgress>{{-1, -2, -3, -4}, {1, 1, 1, 1}}
            << ProgressFigures{1, 1, 1, 1};
    }

    void progressGoesOutSummedAndSound()
    {
        QFETCH(std::vector<CopyProgress>, copies);
        QFETCH(ProgressFigures, sent);
        int fds[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
        const UniqueFd sender(fds[1]);
        QLocalSocket host;
        QVERIFY(host.setSocketDescriptor(fds[0]));
        std::vector<std::shared_ptr<CopyControl>> controls;
        {
            OutcomeStream stream(&host, true);
            stream.begin(HostReceipt{}.encode());
            for (const CopyProgress& progress : copies) {
                controls.push_back(std::make_shared<CopyControl>());
                stream.copyStarted(controls.back());
                stream.progressed(*controls.back(), progress);
            }
            QTRY_COMPARE(latestFigures(sender.get()), std::optional(sent));
        }
        const auto last = [&] {
            receive(sender.get());
            return m_records.empty() ? std::nullopt : std::optional(m_records.back());
        };
        QTRY_COMPARE(last(), std::optional(OutcomeRecord::end(true)));
        QVERIFY(m_sound);
    }
};

QTEST_GUILESS_MAIN(OutcomeStreamTest)
#include "outcome_stream_test.moc"
