#include "destinations_model.h"

#include "destination_store.h"
#include "immutable_flag.h"
#include "log.h"
#include "unique_fd.h"
#include "without_permission_override.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace ambrevoli;
namespace fs = std::filesystem;

namespace {

using ambrevoli::testing::setImmutable;

std::string readText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int countLines(const LogCapture& capture, std::string_view prefix)
{
    int count = 0;
    for (const auto& line : capture.lines())
        count += line.starts_with(prefix) ? 1 : 0;
    return count;
}

} // namespace

class DestinationsModelTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_temp;
    std::string root() const { return m_temp.path().toStdString(); }
    std::string file() const { return root() + "/container/destinations.json"; }
    std::string folder(std::string_view name) const
    {
        const std::string path = root() + "/places/" + std::string(name);
        fs::create_directories(path);
        return path;
    }

private slots:
    void init()
    {
        QVERIFY(m_temp.isValid());
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(root() + "/data"));
    }

    void cleanup()
    {
        setImmutable(root() + "/container", false);
        fs::remove_all(root());
        fs::create_directories(root());
    }

    void renamedFolderIsFollowedAndSavedOnce()
    {
        const std::string drop = folder("Drop");
        Uuid id;
        {
            DestinationsModel model(file());
            const auto ids = model.addFolders({drop});
            QCOMPARE(ids.size(), 1u);
            id = ids[0];
        }
        fs::rename(drop, root() + "/places/Renamed");

        LogCapture capture;
        DestinationsModel model(file());
        QCOMPARE(model.library().store().destination(id)->path(), root() + "/places/Renamed");
        QVERIFY(model.missingIDs().empty());
        QCOMPARE(capture.lines(),
                 std::vector<std::string>{"Updated the location of moved destinations"});
        // The fresh bookmark made for the new place resolves without another save.
        QVERIFY(readText(file()).find("Renamed") != std::string::npos);
        model.refresh();
        QCOMPARE(capture.lines().size(), 1u);
    }

    void staleBookmarkAtTheSamePathIsReplaced()
    {
        const std::string drop = folder("Drop");
        DestinationStore store({Destination(Uuid::random(), "Drop", drop, "old")});
        QVERIFY(store.save(file()));
        BookmarkFunctions bookmarks;
        bookmarks.resolve = [&](std::string_view) {
            return std::expected<ResolvedBookmark, BookmarkError>(ResolvedBookmark{drop, true});
        };
        bookmarks.make = [](const std::string&) {
            return std::expected<std::string, SystemError>("new");
        };

        LogCapture capture;
        DestinationsModel model(file(), bookmarks);
        const Destination& destination = model.library().store().destinations()[0];
        QCOMPARE(destination.path(), drop);
        QCOMPARE(destination.bookmark(), std::optional<std::string>("new"));
        QCOMPARE(countLines(capture, "Updated the location of moved destinations"), 1);
    }

    void trashedFoldersAndFilesAreMissing_data()
    {
        QTest::addColumn<bool>("newFolderAtOldPath");
        QTest::addColumn<bool>("missing");
        QTest::newRow("moved to the trash") << false << true;
        QTest::newRow("moved to the trash, replaced") << true << false;
    }

    void trashedFoldersAndFilesAreMissing()
    {
        QFETCH(bool, newFolderAtOldPath);
        QFETCH(bool, missing);
        const std::string drop = folder("Drop");
        Uuid id;
        {
            DestinationsModel model(file());
            id = model.addFolders({drop}).at(0);
        }
        fs::create_directories(root() + "/data/Trash/files");
        fs::rename(drop, root() + "/data/Trash/files/Drop");
        if (newFolderAtOldPath)
            fs::create_directories(drop);

        DestinationsModel model(file());
        QCOMPARE(model.missingIDs().contains(id), missing);
        QCOMPARE(model.library().store().destination(id)->path(), drop); // never relocated
    }

    void pathChecksIgnoreTheTrashButNotFiles()
    {
        const std::string inTrash = root() + "/data/Trash/files/Kept";
        fs::create_directories(inTrash);
        const std::string file_ = root() + "/places/plain-file";
        fs::create_directories(root() + "/places");
        std::ofstream(file_) << "x";
        const Uuid kept = Uuid::random(), plain = Uuid::random(), gone = Uuid::random();
        QVERIFY(
            DestinationStore({Destination(kept, "Kept", inTrash), Destination(plain, "File", file_),
                              Destination(gone, "Gone", root() + "/nowhere")})
                .save(file()));

        DestinationsModel model(file());
        QCOMPARE(model.missingIDs(), (std::unordered_set<Uuid>{plain, gone}));
    }

    void missingIDsSignalOnlyOnChange()
    {
        const std::string drop = folder("Drop");
        DestinationsModel model(file());
        QSignalSpy missingSpy(&model, &DestinationsModel::missingIDsChanged);
        QSignalSpy librarySpy(&model, &DestinationsModel::libraryChanged);
        const Uuid id = model.addFolders({drop}).at(0);
        model.refresh();
        QCOMPARE(missingSpy.count(), 0);
        fs::remove(drop);
        model.refresh();
        model.refresh();
        QCOMPARE(missingSpy.count(), 1);
        QVERIFY(model.missingIDs().contains(id));
        // Every save and every refresh tells the library's readers, changed or not.
        QCOMPARE(librarySpy.count(), 5);
    }

    void addFoldersTakesCanonicalFoldersOnly()
    {
        const std::string drop = folder("Drop");
        fs::create_directory_symlink(drop, root() + "/places/link");
        std::ofstream(root() + "/places/file.txt") << "x";

        DestinationsModel model(file());
        // The last one would reach the system cut at the NUL, as the folder Drop.
        QVERIFY(model
                    .addFolders({root() + "/places/file.txt", root() + "/places/none",
                                 drop + std::string("\0/../file.txt", 13)})
                    .empty());
        QVERIFY(!fs::exists(file())); // nothing to write, nothing written

        const auto ids = model.addFolders({root() + "/places/link/"});
        QCOMPARE(ids.size(), 1u);
        const Destination added = *model.library().store().destination(ids[0]);
        QCOMPARE(added.path(), drop);
        QCOMPARE(added.label(), std::string("Drop"));
        QVERIFY(added.bookmark().has_value());

        // The same folder again: no second entry, the existing identifier.
        QCOMPARE(model.addFolders({drop}), ids);
        QCOMPARE(model.library().store().destinations().size(), 1u);
        QCOMPARE(model.label(ids[0]), std::string("Drop"));
        QCOMPARE(model.label(Uuid::random()), std::string());
    }

    void failedSaveSetsTheErrorUntilAChangeIsSaved()
    {
        const std::string drop = folder("Drop");
        DestinationsModel model(file());
        const Uuid id = model.addFolders({drop}).at(0);
        const std::string before = readText(file());
        if (!setImmutable(root() + "/container", true))
            QSKIP("cannot set the immutable flag here (needs root and a file system with flags)");
        QSignalSpy spy(&model, &DestinationsModel::saveErrorChanged);

        LogCapture capture;
        model.rename(id, "Elsewhere");
        QCOMPARE(model.saveError(),
                 std::optional<std::string>("Ambrevoli couldn't save that change, so the file "
                                            "manager still shows the saved list."));
        QCOMPARE(model.label(id), std::string("Drop"));
        QCOMPARE(readText(file()), before);
        QCOMPARE(countLines(capture, "Couldn't save destinations: "), 1);
        QVERIFY(model.addFolders({folder("Other")}).empty()); // not written, not returned

        setImmutable(root() + "/container", false);
        model.rename(id, "   "); // no change: the error stays
        QVERIFY(model.saveError().has_value());
        model.rename(id, "Elsewhere");
        QVERIFY(!model.saveError().has_value());
        QCOMPARE(spy.count(), 2);
    }

    void saveThatReplacedTheFileIsKeptWhenTheFolderCannotBeFlushed()
    {
        const std::string drop = folder("Drop");
        DestinationsModel model(file());
        const Uuid id = model.addFolders({drop}).at(0);
        // The owner (root too, without its override) may write into the folder but not open it
        // for reading, which flushing it needs: the new file takes its place all the same.
        const std::string container = root() + "/container";
        QCOMPARE(::chmod(container.c_str(), 0300), 0);
        LogCapture capture;
        bool modeHolds;
        {
            const testing::WithoutPermissionOverride withoutOverride;
            modeHolds = !UniqueFd(::open(container.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            model.rename(id, "Elsewhere");
        }
        QCOMPARE(::chmod(container.c_str(), 0700), 0);
        if (!modeHolds)
            QSKIP("this process reads folders whatever their mode");

        QVERIFY(!model.saveError().has_value());
        QCOMPARE(model.label(id), std::string("Elsewhere"));
        QCOMPARE(DestinationStore::load(file()), model.library().store());
        QCOMPARE(countLines(capture, "Replaced a file but couldn't flush its folder: "), 1);
    }

    void unreadableFileIsLeftAloneUntilStartFresh()
    {
        fs::create_directories(root() + "/container");
        std::ofstream(file()) << "{ not json";
        LogCapture capture;
        DestinationsModel model(file());
        QCOMPARE(countLines(capture, "Couldn't load destinations: "), 1);
        QVERIFY(model.addFolders({folder("Drop")}).empty());
        QCOMPARE(readText(file()), std::string("{ not json"));

        model.startFresh();
        QVERIFY(!model.library().loadError());
        QVERIFY(!model.saveError());
        QCOMPARE(countLines(capture, "Set the unreadable destinations file aside"), 1);
        int setAside = 0;
        for (const auto& entry : fs::directory_iterator(root() + "/container"))
            setAside +=
                entry.path().filename().string().starts_with("destinations-unreadable-") ? 1 : 0;
        QCOMPARE(setAside, 1);
        QCOMPARE(model.addFolders({folder("Drop")}).size(), 1u);
    }
};

QTEST_GUILESS_MAIN(DestinationsModelTest)
#include "destinations_model_test.moc"
