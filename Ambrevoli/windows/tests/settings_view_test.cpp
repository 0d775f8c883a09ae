#include "settings_view.h"

#include "accessible_actions.h"
#include "clipped_texts.h"
#include "destination_list.h"
#include "destination_row.h"
#include "destination_store.h"
#include "destinations_model.h"
#include "files_with_its_menu.h"
#include "immutable_flag.h"
#include "in_memory_notification_service.h"
#include "menu_options.h"
#include "scoped_language.h"
#include "setup_status.h"
#include "unreadable_file_notice.h"
#include "wording.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <fcntl.h>
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

using namespace ambrevoli;
namespace fs = std::filesystem;

namespace {

using ambrevoli::testing::setImmutable;

std::string readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

ino_t inodeOf(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

QString accessibleName(QWidget* widget)
{
    QAccessibleInterface* interface = QAccessible::queryAccessibleInterface(widget);
    return interface ? interface->text(QAccessible::Name) : QString();
}

// The shown widget that a screen reader knows by `name`.
template <class W = QWidget> W* control(QWidget& root, const QString& name)
{
    for (W* widget : root.findChildren<W*>())
        if (widget->isVisible() && accessibleName(widget) == name)
            return widget;
    return nullptr;
}

// The shown label that reads `text`.
QLabel* labelReading(QWidget& root, const QString& text)
{
    for (QLabel* label : root.findChildren<QLabel*>())
        if (label->isVisible() && label->text() == text)
            return label;
    return nullptr;
}

QFileDialog* shownChooser(QWidget& view)
{
    for (QFileDialog* chooser : view.findChildren<QFileDialog*>())
        if (chooser->isVisible())
            return chooser;
    return nullptr;
}

// Delivers a drag to the widget the window gives it to: the one under `pos`, or its nearest
// ancestor that takes drops, skipping widgets that let the mouse through. Enters, moves and
// drops; yields the action the target took, IgnoreAction when it refused.
Qt::DropAction dropOn(QWidget& window, QPoint pos, const QMimeData& data,
                      Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction)
{
    QWidget* target = window.childAt(pos);
    if (!target)
        target = &window;
    while (!target->isWindow() && !target->acceptDrops())
        target = target->parentWidget();
    if (!target->acceptDrops())
        return Qt::IgnoreAction;
    const QPoint local = target->mapFrom(&window, pos);

    QDragEnterEvent enter(local, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return Qt::IgnoreAction;
    QDragMoveEvent move(local, offered, &data, Qt::LeftButton, Qt::NoModifier);
    move.setDropAction(enter.dropAction());
    move.accept();
    QCoreApplication::sendEvent(target, &move);
    if (!move.isAccepted())
        return Qt::IgnoreAction;
    QDropEvent drop(QPointF(local), offered, &data, Qt::LeftButton, Qt::NoModifier);
    drop.setDropAction(move.dropAction());
    QCoreApplication::sendEvent(target, &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
}

QMimeData* fileUrls(const std::vector<std::string>& paths)
{
    QList<QUrl> urls;
    for (const auto& path : paths)
        urls.append(QUrl::fromLocalFile(QString::fromStdString(path)));
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

// A click where a person clicks to select a row: on its symbol, off the name field.
void clickRow(DestinationRow* row, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::mouseClick(row, Qt::LeftButton, modifiers, QPoint(4, row->height() / 2));
}

// A point in `window` on the lower half of `row`, where a drop lands before the next row.
QPoint lowerHalfOf(QWidget& window, const DestinationRow* row)
{
    return row->mapTo(&window, QPoint(row->width() / 2, row->height() * 3 / 4));
}

// The settings content in a window of its own, over a real model and setup status.
struct Window {
    explicit Window(const std::string& file) : model(file), setup(service, filesWithItsMenu)
    {
        service.setAuthorizationStatus(AuthorizationStatus::authorized);
        view.resize(520, 360);
    }

    DestinationsModel model;
    InMemoryNotificationService service;
    SetupStatus setup;
    SettingsView view{model, setup};

    DestinationList& list() { return *view.findChild<DestinationList*>(); }
    const std::vector<DestinationRow*>& rows() { return list().rows(); }
    DestinationRow* row(std::size_t i) { return rows().at(i); }
    QToolButton* button(const char* name) { return control<QToolButton>(view, name); }
};

} // namespace

class SettingsViewTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_temp;
    std::string root() const { return m_temp.path().toStdString(); }
    std::string container() const { return root() + "/container"; }
    std::string file() const { return container() + "/destinations.json"; }
    std::string folder(std::string_view name) const
    {
        const std::string path = root() + "/places/" + std::string(name);
        fs::create_directories(path);
        return path;
    }

    // The destinations file as written, read back the way every reader reads it.
    std::vector<Destination> written() const
    {
        auto store = DestinationStore::load(file());
        return store ? store->destinations() : std::vector<Destination>{};
    }
    std::vector<std::string> writtenLabels() const
    {
        std::vector<std::string> labels;
        for (const auto& destination : written())
            labels.push_back(destination.label());
        return labels;
    }
    std::vector<Uuid> writtenIDs(const std::vector<std::string>& labels) const
    {
        std::vector<Uuid> ids;
        for (const auto& label : labels)
            for (const auto& destination : written())
                if (destination.label() == label)
                    ids.push_back(destination.id());
        return ids;
    }

    // A destinations file listing these folders, in order, made as the model makes it.
    void writeDestinations(const std::vector<std::string>& names) const
    {
        std::vector<std::string> paths;
        for (const auto& name : names)
            paths.push_back(folder(name));
        DestinationsModel(file()).addFolders(paths);
    }

    static bool open(Window& window)
    {
        window.view.show();
        window.view.activateWindow();
        return QTest::qWaitForWindowActive(&window.view);
    }

    static void screenshot(QWidget& widget, const QString& name)
    {
        QDir().mkpath(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR));
        QVERIFY(widget.grab().save(QStringLiteral(AMBREVOLI_SCREENSHOT_DIR "/%1.png").arg(name)));
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        // GIO's own local file system only, whatever desktop services the machine has.
        qputenv("GIO_USE_VFS", "local");
    }

    void init()
    {
        QVERIFY(m_temp.isValid());
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(root() + "/data"));
    }

    void cleanup()
    {
        setImmutable(container(), false);
        fs::remove_all(root());
        fs::create_directories(root());
    }

    // German runs about a third longer than English, and the pseudo-locale longer still: the
    // window holds every text in full, the placeholder's and the banner's too.
    void textsFitInEveryLanguage_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("showDrives");
        QTest::newRow("de") << "de"
                            << "Laufwerke in \u201ESenden an\u201C zeigen";
        QTest::newRow("pl") << "pl"
                            << "Pokazuj nap\u0119dy w \u201EWy\u015Blij do\u201D";
        QTest::newRow("pseudo") << "pseudo"
                                << "[Show drives in Send To ~~~~~~~~]";
    }
    void textsFitInEveryLanguage()
    {
        QFETCH(QString, language);
        QFETCH(QString, showDrives);
        ambrevoli::testing::ScopedLanguage chosen(language.toStdString());

        for (const char* state : {"empty", "list"}) {
            if (std::string_view(state) == "list")
                writeDestinations({"Inbox", "Photos"});
            Window window(file());
            window.service.setAuthorizationStatus(AuthorizationStatus::denied);
            window.setup.refresh();
            QTRY_COMPARE(window.setup.notifications(), AuthorizationStatus::denied);
            QVERIFY(open(window));
            QVERIFY(control<QCheckBox>(window.view, showDrives));
            QCOMPARE(ambrevoli::testing::clippedTexts(window.view), QStringList());
            screenshot(window.view, QStringLiteral("%1-%2").arg(state, language));
        }
    }

    void emptyListShowsThePlaceholderAndTakesADropThroughIt()
    {
        Window window(file());
        QVERIFY(open(window));
        QLabel* title = labelReading(window.view, "No Destinations");
        QVERIFY(title);
        QVERIFY(labelReading(window.view, "Add a folder, or drag one here from the file manager."));
        screenshot(window.view, "empty");

        const std::string drop = folder("Drop");
        std::unique_ptr<QMimeData> data(fileUrls({drop}));
        // Offered every action, the list copies: a move would let the file manager delete it.
        QCOMPARE(dropOn(window.view, title->mapTo(&window.view, title->rect().center()), *data),
                 Qt::CopyAction);

        QCOMPARE(written().size(), 1u);
        QCOMPARE(written()[0].path(), drop);
        QCOMPARE(window.view.selection(), std::vector<Uuid>{written()[0].id()});
        QVERIFY(!title->isVisible());
    }

    void aFolderDraggedInFromAMountedShareIsAddedByItsLocalPath()
    {
        // GIO answers sftp://server/… as the desktop does while the share is mounted: with its
        // path through the FUSE bridge. Other servers' locations have no local path.
        static std::string fuseRoot;
        fuseRoot = folder("gvfs/sftp:host=server");
        // Made before the handler is in place: GIO holds its lock while a handler runs.
        static GFile* const withoutPath =
            g_vfs_get_file_for_uri(g_vfs_get_local(), "sftp://other/home/Backups");
        g_vfs_register_uri_scheme(
            g_vfs_get_default(), "sftp",
            [](GVfs*, const char* uri, gpointer) -> GFile* {
                const std::string_view prefix = "sftp://server/";
                if (std::string_view(uri).starts_with(prefix))
                    return g_file_new_for_path(
                        (fuseRoot + "/" + std::string(uri + prefix.size())).c_str());
                return G_FILE(g_object_ref(withoutPath));
            },
            nullptr, nullptr, nullptr, nullptr, nullptr);
        fs::create_directories(fuseRoot + "/home/Backups");
        Window window(file());
        QVERIFY(open(window));
        QLabel* title = labelReading(window.view, "No Destinations");
        const QPoint onList = title->mapTo(&window.view, title->rect().center());

        QMimeData elsewhere;
        elsewhere.setUrls({QUrl("sftp://other/home/Backups")});
        dropOn(window.view, onList, elsewhere);
        QCOMPARE(written().size(), 0u);

        QMimeData share;
        share.setUrls({QUrl("sftp://server/home/Backups")});
        QCOMPARE(dropOn(window.view, onList, share), Qt::CopyAction);
        QCOMPARE(written().size(), 1u);
        QCOMPARE(written()[0].path(), fuseRoot + "/home/Backups");
    }

    void removeAndTheMoveButtonsFollowTheSelection()
    {
        writeDestinations({"A", "B", "C"});
        Window window(file());
        QVERIFY(open(window));
        QToolButton* remove = window.button("Remove");
        QToolButton* moveUp = window.button("Move Up");
        QToolButton* moveDown = window.button("Move Down");
        QVERIFY(remove && moveUp && moveDown);
        QVERIFY(!remove->isEnabled() && !moveUp->isEnabled() && !moveDown->isEnabled());

        // Nothing selected: the delete command still runs, and removes nothing.
        const std::string before = readBytes(file());
        window.list().setFocus();
        QSignalSpy saves(&window.model, &DestinationsModel::libraryChanged);
        QTest::keyClick(&window.list(), Qt::Key_Delete);
        QCOMPARE(saves.count(), 1);
        QCOMPARE(readBytes(file()), before);

        clickRow(window.row(0));
        clickRow(window.row(2), Qt::ControlModifier);
        QCOMPARE(window.view.selection(), writtenIDs({"A", "C"}));
        QVERIFY(remove->isEnabled());
        QVERIFY(!moveUp->isEnabled() && !moveDown->isEnabled());

        // The shortcuts of disabled buttons do nothing.
        QCOMPARE(QApplication::focusWidget(), &window.list());
        QTest::keyClick(&window.list(), Qt::Key_Up, Qt::AltModifier);
        QTest::keyClick(&window.list(), Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(readBytes(file()), before);
        QCOMPARE(window.view.selection(), writtenIDs({"A", "C"}));

        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(writtenLabels(), std::vector<std::string>{"B"});
        QVERIFY(window.view.selection().empty());
        QVERIFY(!remove->isEnabled());
        QCOMPARE(window.rows().size(), 1u);
    }

    void theKeyboardSelectsEditsAndRemoves()
    {
        writeDestinations({"A", "B", "C"});
        Window window(file());
        QVERIFY(open(window));
        DestinationList& list = window.list();
        list.setFocus();

        QTest::keyClick(&list, Qt::Key_Down);
        QCOMPARE(window.view.selection(), writtenIDs({"A"}));
        QTest::keyClick(&list, Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(window.view.selection(), writtenIDs({"A", "B"}));
        QTest::keyClick(&list, Qt::Key_End);
        QCOMPARE(window.view.selection(), writtenIDs({"C"}));

        // Return edits the selected row's name; leaving the field hands the keys back.
        QTest::keyClick(&list, Qt::Key_Return);
        QLineEdit* field = window.row(2)->nameField();
        QVERIFY(field->hasFocus());
        QTest::keyClicks(field, "Camera");
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "B", "Camera"}));
        list.setFocus();

        QTest::keyClick(&list, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(window.view.selection(), writtenIDs({"A", "B", "Camera"}));
        QTest::keyClick(&list, Qt::Key_Backspace);
        QCOMPARE(writtenLabels().size(), 3u);
        QTest::keyClick(&list, Qt::Key_Delete);
        QVERIFY(writtenLabels().empty());
        QVERIFY(labelReading(window.view, "No Destinations"));
    }

    void moveUpAndDownShiftTheOneSelectedRow()
    {
        writeDestinations({"A", "B", "C"});
        Window window(file());
        QVERIFY(open(window));
        const Uuid a = writtenIDs({"A"}).at(0);
        clickRow(window.row(0));
        QToolButton* moveUp = window.button("Move Up");
        QVERIFY(moveUp->isEnabled());

        // Already first: nothing changes and the file is not even rewritten.
        const std::string before = readBytes(file());
        const ino_t inode = inodeOf(file());
        QTest::mouseClick(moveUp, Qt::LeftButton);
        QCOMPARE(readBytes(file()), before);
        QCOMPARE(inodeOf(file()), inode);

        QTest::keyClick(&window.list(), Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"B", "A", "C"}));
        // Pressed as a screen reader presses it.
        QVERIFY(testing::operateAccessibly(*window.button("Move Down")));
        QTRY_COMPARE(writtenLabels(), (std::vector<std::string>{"B", "C", "A"}));
        QCOMPARE(window.view.selection(), std::vector<Uuid>{a});
        QCOMPARE(window.rows().back()->id(), a);

        const std::string last = readBytes(file());
        QTest::keyClick(&window.list(), Qt::Key_Down, Qt::AltModifier);
        QCOMPARE(readBytes(file()), last);
    }

    void dropsLandWhereTheyAreDropped()
    {
        writeDestinations({"A", "B", "C"});
        Window window(file());
        QVERIFY(open(window));
        const std::vector<Uuid> abc = writtenIDs({"A", "B", "C"});

        // A listed folder dropped between A and B moves there; no second entry.
        std::unique_ptr<QMimeData> listed(fileUrls({folder("C")}));
        QCOMPARE(dropOn(window.view, lowerHalfOf(window.view, window.row(0)), *listed),
                 Qt::CopyAction);
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "C", "B"}));
        QCOMPARE(window.view.selection(), std::vector<Uuid>{abc[2]});

        // Below the last row: new folders go to the end, files are left out.
        std::ofstream(root() + "/places/notes.txt") << "x";
        std::unique_ptr<QMimeData> fresh(fileUrls({root() + "/places/notes.txt", folder("D")}));
        const QPoint end =
            window.list().mapTo(&window.view, QPoint(20, window.list().height() - 4));
        QCOMPARE(dropOn(window.view, end, *fresh), Qt::CopyAction);
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "C", "B", "D"}));
        const Uuid d = writtenIDs({"D"}).at(0);
        QCOMPARE(window.view.selection(), std::vector<Uuid>{d});

        // A drag that may only move the folders is refused.
        const std::string before = readBytes(file());
        std::unique_ptr<QMimeData> moveOnly(fileUrls({folder("E")}));
        QCOMPARE(dropOn(window.view, end, *moveOnly, Qt::MoveAction), Qt::IgnoreAction);
        QCOMPARE(readBytes(file()), before);

        // A row dragged before C; the selection stays as it was.
        std::unique_ptr<QMimeData> rowA(DestinationList::rowsMimeData({abc[0]}));
        QCOMPARE(
            dropOn(window.view, lowerHalfOf(window.view, window.row(0)), *rowA, Qt::MoveAction),
            Qt::MoveAction);
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "C", "B", "D"}));
        QCOMPARE(
            dropOn(window.view, lowerHalfOf(window.view, window.row(1)), *rowA, Qt::MoveAction),
            Qt::MoveAction);
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"C", "A", "B", "D"}));
        QCOMPARE(window.view.selection(), std::vector<Uuid>{d});
    }

    void chosenFoldersAreAddedAndSelected()
    {
        const std::string places = root() + "/places";
        for (const char* name : {"A", "B", "C", "D"})
            folder(name);
        std::ofstream(places + "/notes.txt") << "x";
        Window window(file());
        QVERIFY(open(window));

        // Ctrl+O opens the chooser, which takes several folders at once.
        window.list().setFocus();
        QTest::keyClick(&window.list(), Qt::Key_O, Qt::ControlModifier);
        QVERIFY(window.view.isChoosingFolders());
        auto* chooser = shownChooser(window.view);
        QVERIFY(chooser);
        chooser->setDirectory(QString::fromStdString(places));
        auto* files = chooser->findChild<QAbstractItemView*>("listView");
        QVERIFY(files);
        const auto* model = static_cast<QFileSystemModel*>(files->model());
        QModelIndex a, b;
        // The chooser's model lists the folder on a thread of its own: slow on a loaded machine.
        QTRY_VERIFY_WITH_TIMEOUT(
            (a = model->index(QString::fromStdString(places + "/A"))).isValid() &&
                (b = model->index(QString::fromStdString(places + "/B"))).isValid() &&
                !files->visualRect(a).isEmpty() && !files->visualRect(b).isEmpty(),
            30000);
        QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, files->visualRect(a).center());
        QTest::mouseClick(files->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          files->visualRect(b).center());
        chooser->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->click();
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "B"}));
        QCOMPARE(window.view.selection(), writtenIDs({"A", "B"}));
        QVERIFY(!window.view.isChoosingFolders());

        // Three chosen, one of them a file: the two folders are added, and only they selected.
        QTest::keyClick(&window.list(), Qt::Key_O, Qt::ControlModifier);
        chooser = shownChooser(window.view);
        QVERIFY(chooser);
        chooser->setDirectory(QString::fromStdString(places));
        files = chooser->findChild<QAbstractItemView*>("listView");
        model = static_cast<QFileSystemModel*>(files->model());
        QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(files->rootIndex()), 5, 30000);
        Qt::KeyboardModifiers modifiers = Qt::NoModifier;
        for (const char* name : {"C", "notes.txt", "D"}) {
            const QModelIndex item = model->index(QString::fromStdString(places + "/" + name));
            QTest::mouseClick(files->viewport(), Qt::LeftButton, modifiers,
                              files->visualRect(item).center());
            modifiers = Qt::ControlModifier;
        }
        QCOMPARE(chooser->selectedFiles().size(), 3);
        chooser->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->click();
        QVERIFY(!window.view.isChoosingFolders());
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "B", "C", "D"}));
        QCOMPARE(window.view.selection(), writtenIDs({"C", "D"}));
    }

    void typedLabelsAreSavedAsTrimmedAndShownSo()
    {
        writeDestinations({"A", "B"});
        Window window(file());
        QVERIFY(open(window));
        QLineEdit* field = window.row(0)->nameField();
        QTest::mouseClick(field, Qt::LeftButton);
        QVERIFY(field->hasFocus());
        QCOMPARE(window.view.selection(), writtenIDs({"A"}));

        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, "Hol");
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"Hol", "B"})); // keystroke by keystroke
        QTest::keyClicks(field, "iday  ");
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"Holiday", "B"}));
        QCOMPARE(field->text(), QString("Holiday  "));
        screenshot(window.view, "editing-a-label");
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(field->text(), QString("Holiday"));
        QVERIFY(field->hasFocus());
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"Holiday", "B"}));
        // The field keeps the keys it leaves unused: typing goes on after the label, and the
        // arrows don't move the selection away from the row being edited.
        QTest::keyClick(field, Qt::Key_Down);
        QTest::keyClicks(field, "s");
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"Holidays", "B"}));
        QCOMPARE(window.view.selection(), writtenIDs({"Holidays"}));
    }

    void aBlankLabelFallsBackToTheLabelEditingBeganWith()
    {
        writeDestinations({"A", "B"});
        Window window(file());
        QVERIFY(open(window));
        QLineEdit* field = window.row(0)->nameField();
        QTest::mouseClick(field, Qt::LeftButton);

        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, "X");
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"X", "B"}));
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, "  ");
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "B"}));
        QCOMPARE(field->text(), QString("  "));

        // Clicking elsewhere leaves the field, which shows the label again.
        clickRow(window.row(1));
        QVERIFY(!field->hasFocus());
        QCOMPARE(field->text(), QString("A"));
        QCOMPARE(writtenLabels(), (std::vector<std::string>{"A", "B"}));
    }

    void changesFromElsewhereWaitUntilTheFieldIsLeft()
    {
        writeDestinations({"A", "B"});
        Window window(file());
        QVERIFY(open(window));
        const std::vector<Uuid> ids = writtenIDs({"A", "B"});
        QLineEdit* field = window.row(0)->nameField();
        QTest::mouseClick(field, Qt::LeftButton);
        QTest::keyClicks(field, "x");

        window.model.rename(ids[0], "Outside");
        window.model.rename(ids[1], "Other");
        QCOMPARE(field->text(), QString("Ax"));
        QCOMPARE(window.row(1)->nameField()->text(), QString("Other"));

        // The window closing ends the edit: the field shows what is saved.
        window.view.endEditing();
        QVERIFY(!field->hasFocus());
        QCOMPARE(field->text(), QString("Outside"));
    }

    void aFolderGoneWhileOpenShowsAsMissingAfterARefresh()
    {
        writeDestinations({"Archive", "Backups with a rather long name", "Camera"});
        Window window(file());
        QVERIFY(open(window));
        clickRow(window.row(1));
        fs::remove_all(root() + "/places/Camera");
        QVERIFY(!labelReading(window.view, "Missing"));

        window.model.refresh();
        QLabel* missing = labelReading(window.view, "Missing");
        QVERIFY(missing);
        QVERIFY(window.row(2)->isAncestorOf(missing));
        QCOMPARE(missing->toolTip(),
                 QString("Ambrevoli can't find this folder, so it's off in the Send To menu."));
        QCOMPARE(missing->palette().color(missing->foregroundRole()).name(), QString("#e66100"));
        QVERIFY(window.row(2)->isMissing() && !window.row(0)->isMissing());
        screenshot(window.view, "rows-one-missing-one-selected");
    }

    void aFolderOnAShareThatIsNotConnectedNamesTheShare()
    {
        const std::string runtime = root() + "/runtime";
        const std::optional<QByteArray> before = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")
                                                     ? std::optional(qgetenv("XDG_RUNTIME_DIR"))
                                                     : std::nullopt;
        const auto restore = qScopeGuard(
            [&] { before ? qputenv("XDG_RUNTIME_DIR", *before) : qunsetenv("XDG_RUNTIME_DIR"); });
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
        const std::string share = runtime + "/gvfs/smb-share:server=nas,share=photos";
        fs::create_directories(share + "/2024");
        writeDestinations({"Archive"});
        DestinationsModel(file()).addFolders({share + "/2024"});
        Window window(file());
        QVERIFY(open(window));
        QVERIFY(!labelReading(window.view, "Missing"));

        // The desktop unmounts the share: its folder in the FUSE bridge goes.
        fs::remove_all(share);
        window.model.refresh();
        QLabel* missing = labelReading(window.view, "Missing: photos on nas isn't connected");
        QVERIFY(missing);
        QVERIFY(window.row(1)->isAncestorOf(missing) && window.row(1)->isMissing());
        QCOMPARE(
            missing->accessibleDescription(),
            QString("The share \u201cphotos on nas\u201d isn't connected, so this folder is off "
                    "in the Send To menu. Connect to it in the file manager to turn it back "
                    "on."));
        screenshot(window.view, "share-not-connected");

        // A folder deleted from a share that is mounted is missing like any other.
        fs::create_directories(share);
        window.model.refresh();
        QVERIFY(labelReading(window.view, "Missing"));
        QVERIFY(!labelReading(window.view, "Missing: photos on nas isn't connected"));

        fs::create_directories(share + "/2024");
        window.model.refresh();
        QVERIFY(!window.row(1)->isMissing());
    }

    void theBannerShowsWhileNotificationsAreOff()
    {
        writeDestinations({"Archive", "Backups"});
        Window window(file());
        window.setup.refresh();
        QVERIFY(open(window));
        const QString banner = QString::fromUtf8(wording(Phrase::notificationsOff));
        QVERIFY(banner.endsWith(QStringLiteral("Turn them on in Settings › Notifications.")));
        QVERIFY(!labelReading(window.view, banner));

        window.service.setAuthorizationStatus(AuthorizationStatus::denied);
        window.setup.refresh();
        QTRY_VERIFY(labelReading(window.view, banner));
        screenshot(window.view, "notifications-off");

        window.service.setAuthorizationStatus(AuthorizationStatus::authorized);
        window.setup.refresh();
        QTRY_VERIFY(!labelReading(window.view, banner));
    }

    void aFailedSaveShowsInRedUntilAChangeIsSaved()
    {
        writeDestinations({"Archive", "Backups"});
        Window window(file());
        QVERIFY(open(window));
        if (!setImmutable(container(), true))
            QSKIP("cannot set the immutable flag here (needs root and a file system with flags)");

        clickRow(window.row(0));
        QTest::mouseClick(window.button("Remove"), Qt::LeftButton);
        const QString sentence = QString::fromUtf8(wording(Phrase::destinationsNotSaved));
        QLabel* caption = labelReading(window.view, sentence);
        QVERIFY(caption);
        QCOMPARE(caption->palette().color(caption->foregroundRole()).name(), QString("#c01c28"));
        QCOMPARE(window.rows().size(), 2u); // still the saved list
        screenshot(window.view, "save-error");

        setImmutable(container(), false);
        clickRow(window.row(0));
        QTest::mouseClick(window.button("Remove"), Qt::LeftButton);
        QCOMPARE(writtenLabels(), std::vector<std::string>{"Backups"});
        QVERIFY(!labelReading(window.view, sentence));
    }

    void anUnreadableFileOffersStartFresh_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("damaged") << QByteArray("{ \"version\": 1, \"destinations\": [")
                                 << "The destinations file is damaged or can't be opened.";
        QTest::newRow("newer") << QByteArray(R"({"version": 2, "destinations": []})")
                               << "The destinations file comes from a newer version of Ambrevoli.";
    }

    void anUnreadableFileOffersStartFresh()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        fs::create_directories(container());
        std::ofstream(file()) << content.toStdString();
        Window window(file());
        QVERIFY(open(window));

        QVERIFY(labelReading(window.view, "Ambrevoli Can't Read Its Destinations"));
        QVERIFY(labelReading(
            window.view,
            reason + " Start Fresh keeps the old file, renamed, and starts an empty list."));
        QVERIFY(!window.list().isVisible());
        QVERIFY(!window.button("Add Folder…"));
        screenshot(window.view, QStringLiteral("unreadable-%1").arg(QTest::currentDataTag()));

        // Start Fresh that can't rename the file: the notice stays, with the reason in red.
        auto* startFresh = control<QPushButton>(window.view, "Start Fresh");
        QVERIFY(startFresh);
        if (setImmutable(container(), true)) {
            QTest::mouseClick(startFresh, Qt::LeftButton);
            QLabel* failure =
                labelReading(window.view, "Ambrevoli couldn't rename the old file, so it's still "
                                          "in place.");
            QVERIFY(failure);
            QCOMPARE(failure->palette().color(failure->foregroundRole()).name(),
                     QString("#c01c28"));
            QCOMPARE(readBytes(file()), content.toStdString());
            screenshot(window.view,
                       QStringLiteral("start-fresh-failed-%1").arg(QTest::currentDataTag()));
            setImmutable(container(), false);
        }

        QVERIFY(testing::operateAccessibly(*startFresh));
        QTRY_VERIFY(window.list().isVisible());
        QVERIFY(window.rows().empty());
        QVERIFY(labelReading(window.view, "No Destinations"));
        QVERIFY(window.button("Add Folder…"));
    }

    // Mouse, keyboard and the accessibility Toggle action all reach the menu options file; a
    // change that can't be saved puts the switch back.
    void theDrivesSwitchIsKeptInTheMenuOptions()
    {
        writeDestinations({"Archive", "Backups"});
        const std::string options = container() + "/" + std::string(MenuOptions::fileName);
        auto shown = [&] { return MenuOptions::load(options).showsDrives; };
        Window window(file());
        QVERIFY(open(window));
        auto* drives = control<QCheckBox>(window.view, "Show drives in Send To");
        QVERIFY(drives);
        QVERIFY(drives->isChecked());
        screenshot(window.view, "drives-switch-on");

        QTest::mouseClick(drives, Qt::LeftButton);
        QVERIFY(!drives->isChecked());
        QVERIFY(!shown());
        screenshot(window.view, "drives-switch-off");

        drives->setFocus();
        QTest::keyClick(drives, Qt::Key_Space);
        QVERIFY(shown());

        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(drives);
        QVERIFY(accessible && accessible->actionInterface());
        accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(!drives->isChecked());
        QVERIFY(!shown());

        // Another window shows what was saved, not the default.
        Window again(file());
        QVERIFY(!again.view.findChild<QCheckBox*>()->isChecked());

        if (!setImmutable(container(), true))
            QSKIP("cannot set the immutable flag here (needs root and a file system with flags)");
        QTest::mouseClick(drives, Qt::LeftButton);
        QVERIFY(!drives->isChecked());
        setImmutable(container(), false);
        QVERIFY(!shown());
    }

    void everyControlHasAnAccessibleName()
    {
        writeDestinations({"Archive", "Backups"});
        Window window(file());
        window.service.setAuthorizationStatus(AuthorizationStatus::denied);
        window.setup.refresh();
        QVERIFY(open(window));
        QTRY_VERIFY(
            labelReading(window.view, QString::fromUtf8(wording(Phrase::notificationsOff))));

        const std::pair<const char*, const char*> buttons[] = {
            {"Add Folder…", "Add a folder (Ctrl+O)"},
            {"Remove", "Remove the selected destinations (Delete)"},
            {"Move Up", "Move up (Alt+↑)"},
            {"Move Down", "Move down (Alt+↓)"},
        };
        for (const auto& [name, help] : buttons) {
            QToolButton* button = window.button(name);
            QVERIFY2(button, name);
            QCOMPARE(button->toolTip(), QString::fromUtf8(help));
            QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
            QVERIFY2(!button->icon().isNull(), name);
        }

        // Walk what a screen reader sees: every control it can act on has a name.
        const QList<QAccessible::Role> controls = {
            QAccessible::PushButton, QAccessible::ButtonMenu, QAccessible::EditableText,
            QAccessible::List,       QAccessible::CheckBox,   QAccessible::ComboBox,
        };
        int named = 0;
        std::vector<QAccessibleInterface*> pending{
            QAccessible::queryAccessibleInterface(&window.view)};
        while (!pending.empty()) {
            QAccessibleInterface* interface = pending.back();
            pending.pop_back();
            if (interface->state().invisible)
                continue;
            if (controls.contains(interface->role())) {
                QVERIFY2(!interface->text(QAccessible::Name).isEmpty(),
                         qPrintable(QString("role %1").arg(interface->role())));
                ++named;
            }
            for (int i = 0; i < interface->childCount(); ++i)
                pending.push_back(interface->child(i));
        }
        QCOMPARE(named, 7); // four buttons, the drives switch and two name fields
        QCOMPARE(accessibleName(window.row(0)->nameField()), QString("Name"));
        QCOMPARE(window.row(0)->nameField()->placeholderText(), QString("Name"));
    }
};

QTEST_MAIN(SettingsViewTest)
#include "settings_view_test.moc"
