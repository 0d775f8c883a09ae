#include "destination_adding.h"

#include "destinations_model.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>

using namespace ambrevoli;
namespace fs = std::filesystem;

Q_DECLARE_METATYPE(ambrevoli::FolderOutcome)

class DestinationAddingTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_temp;
    std::string root() const { return m_temp->path().toStdString(); }
    std::string file() const { return root() + "/container/destinations.json"; }

private slots:
    // A list with one destination, "Existing", beside all kinds of things that are not folders.
    void init()
    {
        m_temp = std::make_unique<QTemporaryDir>();
        fs::create_directories(root() + "/container");
        fs::create_directories(root() + "/places/Existing");
        fs::create_directories(root() + "/places/New");
        std::ofstream(root() + "/places/file.txt") << "x";
        fs::create_directory_symlink(root() + "/places/Existing", root() + "/places/toExisting");
        fs::create_symlink(root() + "/places/file.txt", root() + "/places/toFile");
        fs::create_symlink(root() + "/places/loop", root() + "/places/loop");
        DestinationsModel model(file());
        QCOMPARE(model.addFolders({root() + "/places/Existing"}).size(), 1u);
        // A relative path names a real folder here; it must still not be taken.
        QVERIFY(QDir::setCurrent(m_temp->path()));
    }

    void eachFolderHasItsOutcome_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<FolderOutcome>("outcome");
        QTest::newRow("new folder") << "places/New" << FolderOutcome::added;
        QTest::newRow("a destination") << "places/Existing" << FolderOutcome::alreadyThere;
        QTest::newRow("trailing slash") << "places/Existing/" << FolderOutcome::alreadyThere;
        QTest::newRow("link to a destination")
            << "places/toExisting" << FolderOutcome::alreadyThere;
        QTest::newRow("nothing there") << "places/none" << FolderOutcome::missing;
        QTest::newRow("below a file") << "places/file.txt/x" << FolderOutcome::missing;
        // Relative to wherever the host runs, which is not where the user meant.
        QTest::newRow("relative") << "./places/New" << FolderOutcome::missing;
        QTest::newRow("file") << "places/file.txt" << FolderOutcome::notAFolder;
        QTest::newRow("link to a file") << "places/toFile" << FolderOutcome::notAFolder;
        QTest::newRow("loop of links") << "places/loop" << FolderOutcome::inaccessible;
    }

    void eachFolderHasItsOutcome()
    {
        QFETCH(QString, folder);
        QFETCH(FolderOutcome, outcome);
        const QString path =
            folder.startsWith("./") ? folder : QString::fromStdString(root() + "/") + folder;
        DestinationsModel model(file());
        QCOMPARE(addDestinations(model, {path}), std::vector<FolderOutcome>{outcome});
        QCOMPARE(model.library().store().destinations().size(),
                 outcome == FolderOutcome::added ? 2u : 1u);
        QCOMPARE(isDestination(outcome),
                 outcome == FolderOutcome::added || outcome == FolderOutcome::alreadyThere);
    }

    void outcomesFollowTheFoldersOrder()
    {
        DestinationsModel model(file());
        const QString places = QString::fromStdString(root() + "/places/");
        QCOMPARE(addDestinations(model, {places + "none", places + "New", places + "New",
                                         places + "Existing", places + "file.txt"}),
                 (std::vector<FolderOutcome>{
                     FolderOutcome::missing, FolderOutcome::added, FolderOutcome::alreadyThere,
                     FolderOutcome::alreadyThere, FolderOutcome::notAFolder}));
    }

    void anUnreadableListTakesNothing()
    {
        std::ofstream(file()) << "{ not json";
        DestinationsModel model(file());
        QCOMPARE(addDestinations(model, {QString::fromStdString(root() + "/places/New")}),
                 std::vector<FolderOutcome>{FolderOutcome::notSaved});
        std::ifstream in(file());
        QCOMPARE(std::string(std::istreambuf_iterator<char>(in), {}), std::string("{ not json"));
    }
};

QTEST_GUILESS_MAIN(DestinationAddingTest)
#include "destination_adding_test.moc"
