// The shot browser, the online transcode filter and the project sync (the
// chooser's window and tavelo-sync) against a server that stalls (SIGSTOP),
// restarts or stays down. These tests run a server of
// their own: stopping the shared test server would stop every other test.
// The statement limits are shortened through TAVELO_DB_TIMEOUT.

#include "app/clientstate.h"
#include "db/connectionsettings.h"
#include "db/dbworker.h"
#include "projects/populatedb.h"
#include "projects/projectselector.h"
#include "projects/syncengine.h"
#include "shots/gridwidget.h"
#include "shots/noticebar.h"
#include "shots/shotedits.h"
#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"
#include "transcode/scanfilter.h"
#include "syncfiles.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDataWidgetMapper>
#include <QImage>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <csignal>

namespace {
constexpr int limitSeconds = 2;
// One statement limit, then one reconnect attempt: the most an action may
// wait for the server before it is reported. Generous, since the machine is
// shared. The window itself never waits.
constexpr int reportedWithinMs = (limitSeconds + limitSeconds) * 1000 + 6000;
} // namespace

class TestServerFaults : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir work;
    PrivateServer server;
    QWidget *window = nullptr;
    GridWidget *grid = nullptr;
    ShotInfoWidget *info = nullptr;
    int project = 0;
    int firstShot = 0;

    // A column as another client reads it, on a connection opened for the
    // question (connections do not survive the restarts here).
    QVariant stored(int id, const QString &column)
    {
        QSqlDatabase db = server.open("other");
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT %1 FROM shots WHERE id = %2").arg(column).arg(id))) {
            db.close();
            db = server.open("other");
            query = QSqlQuery(db);
            if (!query.exec(QStringLiteral("SELECT %1 FROM shots WHERE id = %2").arg(column).arg(id)))
                return QStringLiteral("<%1>").arg(query.lastError().text());
        }
        return query.next() ? query.value(0) : QVariant(QStringLiteral("<no row>"));
    }

    void openBrowser(int rows = 2)
    {
        ClientState::instance()->projectId = project;
        window = new QWidget;
        auto *layout = new QVBoxLayout(window);
        grid = new GridWidget(nullptr);
        info = new ShotInfoWidget(window);
        info->setModel(grid->model);
        layout->addWidget(grid, 3);
        layout->addWidget(info, 2);
        info->follow(grid);
        // As the main window wires them.
        connect(info, &ShotInfoWidget::posterWanted, grid, &GridWidget::wantPoster);
        connect(grid, &GridWidget::posterArrived, info, &ShotInfoWidget::showPoster);
        window->resize(1000, 700);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(settle());
        QCOMPARE(grid->model->rowCount(), rows);
    }

    // Whether every row in view shows its poster.
    bool postersInView() const
    {
        const int first = qMax(0, grid->rowAt(0));
        const int last = grid->rowAt(grid->viewport()->height() - 1);
        for (int row = first; row <= last && row >= 0; ++row) {
            if (grid->posterOfRow(row).isNull())
                return false;
        }
        return true;
    }

    static void typeInto(QWidget *widget, const QString &text)
    {
        if (auto *edit = qobject_cast<QTextEdit *>(widget))
            edit->moveCursor(QTextCursor::End);
        QTest::keyClicks(widget, text);
    }

    // Starts one user action that meets the fault; the window goes on at once.
    void act(const QString &action)
    {
        ShotTableModel *model = grid->model;
        if (action == "cell edit")
            model->setData(model->index(0, model->fieldIndex("scene")), "cell");
        if (action == "form save") {
            typeInto(info->findChild<QLineEdit *>("takesEdit"), "form");
            info->saveChanges();
        }
        if (action == "refresh")
            model->select();
        if (action == "bulk edit") {
            ShotEdits *edits = model->edits();
            const int takes = model->fieldIndex("takes");
            for (int row : {0, 1})
                edits->type(model->shotOfRow(row), "takes", model->storedValue(row, takes), QStringLiteral("bulk"));
            edits->save({model->shotOfRow(0), model->shotOfRow(1)});
        }
        if (action == "moving to another row")
            grid->setCurrentIndex(model->index(1, model->fieldIndex("scene")));
    }

    // A local root like the one of the reports: half the small clips in
    // raw/A, then the large ones in raw/B (sparse: they cost no disk, and
    // take seconds to hash), then the other half in raw/C.
    static void makeSyncRoot(const QString &root, int small, int large, qint64 largeSize)
    {
        QDir(root).removeRecursively();
        for (int i = 0; i < small; ++i)
            createFile(root, QStringLiteral("raw/%1/%2.MTS").arg(i % 2 ? "C" : "A").arg(i, 3, 10, QLatin1Char('0')),
                       "small take " + QByteArray::number(i));
        for (int i = 1; i <= large; ++i) {
            QFile big(createFile(root, QStringLiteral("raw/B/big%1.MTS").arg(i), "large take " + QByteArray::number(i)));
            QVERIFY(big.open(QIODevice::ReadWrite) && big.resize(largeSize));
        }
    }

    // The client's statement limit instead of the tests' short one, so a
    // statement still waits for a stalled server when the user gives up.
    void useTheUsualLimit()
    {
        qputenv(timeoutVariable, QByteArray::number(statementTimeoutSeconds));
        QSqlDatabase db = server.open(QSqlDatabase::defaultConnection);
        db.close();
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
    }

    // A cache file as a sync leaves it, also a cancelled one: the header,
    // whole records, and each record's shot holding its clip's digests.
    void checkCacheFile(const QString &root, QStringList *paths)
    {
        const QByteArray cache = readFile(root + "/dbclient.cache");
        QVERIFY2(cache.startsWith(cacheHeader) && cache.endsWith(eol + eol), cache.left(300).constData());
        const QList<QByteArray> lines = cache.mid(cacheHeader.size()).split('\n');
        QSqlDatabase db = server.open("other");
        db.close(); // connections do not survive the restarts here
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        for (int i = 0; i + 5 < lines.size(); i += 6) {
            QCOMPARE(lines.at(i), QByteArray("MTS File"));
            QSqlQuery query(db);
            QVERIFY(query.exec(QStringLiteral("SELECT MD5, SHA1 FROM shots WHERE id = %1").arg(lines.at(i + 4).toInt())));
            QVERIFY2(query.next(), lines.at(i + 1).constData());
            QCOMPARE(query.value(0).toByteArray(), lines.at(i + 2));
            QCOMPARE(query.value(1).toByteArray(), lines.at(i + 3));
            *paths << QString::fromUtf8(lines.at(i + 1));
        }
    }

    // tavelo-sync of root into the project, on the test's own server with
    // the given statement limit.
    void startSync(QProcess *tool, const QString &root, int limitSeconds)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TAVELO_DB_PASSWORD", server.password());
        environment.insert(timeoutVariable, QString::number(limitSeconds));
        environment.insert("HOME", work.filePath("home"));
        environment.insert("XDG_CONFIG_HOME", work.filePath("home/config"));
        tool->setProcessEnvironment(environment);
        tool->start(TAVELO_SYNC_PATH, {"--root", root, "--project", QString::number(project), "--server",
                                       server.serverText(), "--database", server.databaseName(), "--user",
                                       server.user()});
    }

    // Runs the event loop until the window's database work is done.
    bool settle(int timeoutMs = 30000)
    {
        QElapsedTimer clock;
        clock.start();
        while ((grid->model->isBusy() || DbWorker::shared()->isBusy()) && clock.elapsed() < timeoutMs)
            QTest::qWait(5);
        QTest::qWait(0); // what the last results set in motion (a form shown again)
        return !grid->model->isBusy();
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        qputenv(timeoutVariable, QByteArray::number(limitSeconds));
        QVERIFY(work.isValid());
        QVERIFY2(server.start(work.filePath("server"), TAVELO_SOURCE_DIR "/db/schema.sql"),
                 qPrintable(server.errorText()));
    }

    void init()
    {
        server.resume();
        QVERIFY(server.pid() > 0 || server.startAgain());
        QVERIFY2(server.sql("DELETE FROM shots; DELETE FROM projects;"
                            "INSERT INTO projects (name) VALUES ('Pier');"
                            "INSERT INTO shots (project, filename, MD5, SHA1, scene, takes) "
                            "SELECT id, 'raw/A/1.MTS', REPEAT('a', 32), REPEAT('a', 40), '1', '3' "
                            "FROM projects;"
                            "INSERT INTO shots (project, filename, MD5, SHA1, scene) "
                            "SELECT id, 'raw/A/2.MTS', REPEAT('b', 32), REPEAT('b', 40), '2' "
                            "FROM projects;",
                            server.databaseName()),
                 qPrintable(server.errorText()));
        QSqlDatabase db = server.open(QSqlDatabase::defaultConnection);
        db.close();
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        QSqlQuery ids(db);
        QVERIFY(ids.exec("SELECT project, MIN(id) FROM shots GROUP BY project") && ids.next());
        project = ids.value(0).toInt();
        firstShot = ids.value(1).toInt();
    }

    void cleanup()
    {
        // Always, also after a failed check: a stopped server would stall
        // whatever runs next.
        server.resume();
        delete window;
        window = nullptr;
    }

    void cleanupTestCase()
    {
        server.resume();
        server.stop();
    }

    void theLimitsComeFromTheConnectionOptions()
    {
        QSqlDatabase db = QSqlDatabase::database();
        const QString options = db.connectOptions();
        QVERIFY2(options.contains("MYSQL_OPT_READ_TIMEOUT=2") && options.contains("MYSQL_OPT_WRITE_TIMEOUT=2")
                     && options.contains("CLIENT_FOUND_ROWS"),
                 qPrintable(options));
        qunsetenv(timeoutVariable);
        QSqlDatabase plain = QSqlDatabase::addDatabase("QMYSQL", "plain");
        applyServerAddress(plain, server.serverText());
        qputenv(timeoutVariable, QByteArray::number(limitSeconds));
        QVERIFY2(plain.connectOptions().contains("MYSQL_OPT_READ_TIMEOUT=30"), qPrintable(plain.connectOptions()));
        QVERIFY(plain.connectOptions().contains("MYSQL_OPT_CONNECT_TIMEOUT=10"));
        plain = QSqlDatabase();
        QSqlDatabase::removeDatabase("plain");
    }

    // Regression: with the server stalled, an edit blocked the window
    // inside the client library for ever; later, for a whole limit.
    void aStalledServerIsReportedWithinTheLimitAndTheEditKept_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("cell edit") << "cell edit";
        QTest::newRow("form save") << "form save";
        QTest::newRow("refresh") << "refresh";
    }

    void aStalledServerIsReportedWithinTheLimitAndTheEditKept()
    {
        QFETCH(QString, action);
        openBrowser();
        QSignalSpy failures(grid->model, &ShotTableModel::saveFailed);
        QVERIFY(server.pause());
        auto resume = qScopeGuard([this]() { server.resume(); });
        QElapsedTimer clock;
        clock.start();
        act(action);
        // The window goes on at once and keeps handling events.
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        bool ticked = false;
        QTimer::singleShot(0, window, [&ticked]() { ticked = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ticked, 500);
        window->resize(990, 690);
        QVERIFY(grid->model->isBusy());
        // The action is reported within one limit and one reconnect.
        QVERIFY(settle(reportedWithinMs));
        QStringList reported;
        for (const QList<QVariant> &failure : std::as_const(failures))
            reported << failure.first().toString();
        QVERIFY2(clock.elapsed() >= limitSeconds * 1000 - 200,
                 qPrintable(QStringLiteral("%1 ms; reported: %2").arg(clock.elapsed()).arg(reported.join(" | "))));
        QCOMPARE(failures.size(), 1);
        const QString message = failures.first().first().toString();
        QVERIFY2(message.contains("did not answer within 2 s"), qPrintable(message));
        // Nothing typed is lost: it waits, marked as not saved.
        if (action == "refresh") {
            QCOMPARE(grid->model->rowCount(), 2); // the rows stay on screen
        } else {
            auto *field = info->findChild<QLineEdit *>(action == "cell edit" ? "sceneEdit" : "takesEdit");
            QCOMPARE(field->text(), QString(action == "cell edit" ? "cell" : "3form"));
            QVERIFY(field->property("unsaved").toBool());
            QVERIFY(info->unsavedBar()->isVisible());
        }
        server.resume();
        // Once the server answers again, the next try goes through.
        if (action == "refresh") {
            QVERIFY(grid->model->select());
            QVERIFY(settle());
            QCOMPARE(failures.size(), 1);
            QCOMPARE(grid->model->rowCount(), 2);
        } else {
            info->unsavedBar()->firstButton()->click();
            QVERIFY(settle());
            QVERIFY(!info->hasUnsavedChanges());
            QCOMPARE(stored(firstShot, action == "cell edit" ? "scene" : "takes").toString(),
                     QString(action == "cell edit" ? "cell" : "3form"));
        }
    }

    // A write that met a stalled server may have committed: it is never
    // sent again; the row is read back on a new connection.
    void aWriteThatTimedOutIsReadBackNotRepeated()
    {
        openBrowser();
        QSignalSpy failures(grid->model, &ShotTableModel::saveFailed);
        QVERIFY(server.pause());
        auto resume = qScopeGuard([this]() { server.resume(); });
        // The server answers again while the client reconnects, after the
        // write's limit has passed.
        QVERIFY(QProcess::startDetached("sh", {"-c", QStringLiteral("sleep %1; kill -CONT %2")
                                                         .arg(limitSeconds + 1)
                                                         .arg(server.pid())}));
        const QModelIndex scene = grid->model->index(0, grid->model->fieldIndex("scene"));
        QVERIFY(grid->model->setData(scene, "late"));
        QVERIFY(settle());
        QTest::qWait(500);
        const QString now = stored(firstShot, "scene").toString();
        auto *field = info->findChild<QLineEdit *>("sceneEdit");
        if (now == QLatin1String("late")) {
            // The server had taken it before the read-back.
            QCOMPARE(failures.size(), 0);
            QCOMPARE(grid->model->data(scene, ShotTableModel::StoredRole).toString(), now);
            return;
        }
        // Not sent again: the server still holds the old value.
        QCOMPARE(now, QStringLiteral("1"));
        QCOMPARE(grid->model->data(scene, ShotTableModel::StoredRole).toString(), now);
        QCOMPARE(failures.size(), 1);
        const QString message = failures.first().first().toString();
        QVERIFY2(message.contains("did not answer within 2 s")
                     && message.contains("may or may not have reached the database"),
                 qPrintable(message));
        // The user's value waits until they try again.
        QCOMPARE(field->text(), QStringLiteral("late"));
        QVERIFY(field->property("unsaved").toBool());
        info->unsavedBar()->firstButton()->click();
        QVERIFY(settle());
        QVERIFY(!info->hasUnsavedChanges());
        QVERIFY(grid->model->edits()->conflicts().isEmpty());
        QCOMPARE(stored(firstShot, "scene").toString(), QStringLiteral("late"));
    }

    // Regression: after a restart every edit failed ("Server has gone away")
    // until the client was restarted.
    void aRestartedServerIsReconnectedOnTheNextAction_data()
    {
        QTest::addColumn<QString>("action");
        QTest::newRow("cell edit") << "cell edit";
        QTest::newRow("form save") << "form save";
        QTest::newRow("refresh") << "refresh";
        QTest::newRow("moving to another row") << "moving to another row";
        QTest::newRow("bulk edit") << "bulk edit";
    }

    void aRestartedServerIsReconnectedOnTheNextAction()
    {
        QFETCH(QString, action);
        openBrowser();
        QSignalSpy failures(grid->model, &ShotTableModel::saveFailed);
        QSignalSpy reconnects(grid->model, &ShotTableModel::reconnected);
        QVERIFY2(server.restart(), qPrintable(server.errorText()));
        if (action == "moving to another row")
            QVERIFY(server.sql(QStringLiteral("UPDATE shots SET scene = 'changed' WHERE id = %1")
                                   .arg(firstShot + 1),
                               server.databaseName()));
        act(action);
        QVERIFY(settle());
        QCOMPARE(failures.size(), 0);
        QCOMPARE(reconnects.size(), 1);
        if (action == "cell edit")
            QCOMPARE(stored(firstShot, "scene").toString(), QStringLiteral("cell"));
        if (action == "form save")
            QCOMPARE(stored(firstShot, "takes").toString(), QStringLiteral("3form"));
        if (action == "bulk edit") {
            QCOMPARE(stored(firstShot, "takes").toString(), QStringLiteral("bulk"));
            QCOMPARE(stored(firstShot + 1, "takes").toString(), QStringLiteral("bulk"));
        }
        if (action == "moving to another row") {
            QCOMPARE(info->mapper->currentIndex(), 1);
            QCOMPARE(info->findChild<QLineEdit *>("sceneEdit")->text(), QStringLiteral("changed"));
        }
        QCOMPARE(grid->model->rowCount(), 2);
        // And the connection stays usable.
        QVERIFY(grid->model->setData(grid->model->index(1, grid->model->fieldIndex("takes")), "5"));
        QVERIFY(settle());
        QCOMPARE(failures.size(), 0);
        QCOMPARE(stored(firstShot + 1, "takes").toString(), QStringLiteral("5"));
    }

    // While the server is stopped the window takes input; the waiting save
    // goes through once the server answers, and what was typed meanwhile
    // for another shot is saved after it, on that shot.
    void editsTypedWhileASaveWaitsAreSavedInOrderOnTheirShot()
    {
        openBrowser();
        QSignalSpy failures(grid->model, &ShotTableModel::saveFailed);
        QVERIFY(server.pause());
        auto resume = qScopeGuard([this]() { server.resume(); });
        ShotTableModel *model = grid->model;
        model->setData(model->index(0, model->fieldIndex("scene")), "waited");
        // The user moves on and types into the next shot at once.
        QElapsedTimer clock;
        clock.start();
        grid->setCurrentIndex(model->index(1, model->fieldIndex("scene")));
        auto *takes = info->findChild<QLineEdit *>("takesEdit");
        typeInto(takes, "7");
        QCOMPARE(takes->text(), QStringLiteral("7"));
        info->saveChanges();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(500);
        server.resume();
        QVERIFY(settle());
        QCOMPARE(failures.size(), 0);
        QCOMPARE(stored(firstShot, "scene").toString(), QStringLiteral("waited"));
        QCOMPARE(stored(firstShot + 1, "takes").toString(), QStringLiteral("7"));
        QVERIFY(stored(firstShot, "takes").toString() != QLatin1String("7"));
        QVERIFY(!grid->model->edits()->hasPending());
    }

    // Cancel ends a bulk edit that waits for a stalled server at once; what
    // it did not save stays, marked, to be tried again.
    void cancelEndsAWaitingBulkEdit()
    {
        openBrowser();
        QVERIFY(server.pause());
        auto resume = qScopeGuard([this]() { server.resume(); });
        act("bulk edit");
        QTest::qWait(300);
        QVERIFY(grid->model->isBusy());
        QElapsedTimer clock;
        clock.start();
        DbWorker::shared()->cancelAll();
        QTRY_VERIFY_WITH_TIMEOUT(!grid->model->isBusy(), 1000);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        ShotEdits *edits = grid->model->edits();
        QCOMPARE(edits->unsaved().size(), 2);
        QVERIFY2(edits->unsaved().first().reason.contains("cancelled"), qPrintable(edits->unsaved().first().reason));
        server.resume();
        QVERIFY(settle());
        edits->save({grid->model->shotOfRow(0), grid->model->shotOfRow(1)});
        QVERIFY(settle());
        QCOMPARE(stored(firstShot, "takes").toString(), QStringLiteral("bulk"));
        QCOMPARE(stored(firstShot + 1, "takes").toString(), QStringLiteral("bulk"));
        QVERIFY(!edits->hasPending());
    }

    // Undo reaches a change made before the server restarted.
    void undoAfterAServerRestart()
    {
        openBrowser();
        ShotTableModel *model = grid->model;
        model->setData(model->index(0, model->fieldIndex("scene")), "before restart");
        QVERIFY(settle());
        QCOMPARE(stored(firstShot, "scene").toString(), QStringLiteral("before restart"));
        QVERIFY(model->edits()->canUndo());
        QVERIFY2(server.restart(), qPrintable(server.errorText()));
        QSignalSpy failures(model, &ShotTableModel::saveFailed);
        model->edits()->undo();
        QVERIFY(settle());
        QCOMPARE(failures.size(), 0);
        QCOMPARE(stored(firstShot, "scene").toString(), QStringLiteral("1"));
        QCOMPARE(model->data(model->index(0, model->fieldIndex("scene"))).toString(), QStringLiteral("1"));
    }

    void aServerThatStaysDownIsReportedAndTheTypedTextKept()
    {
        openBrowser();
        QSignalSpy failures(grid->model, &ShotTableModel::saveFailed);
        QVERIFY(server.stop());
        auto start = qScopeGuard([this]() {
            if (server.pid() == 0)
                server.startAgain();
        });
        auto *takes = info->findChild<QLineEdit *>("takesEdit");
        typeInto(takes, "x");
        QVERIFY(info->saveChanges());
        QVERIFY(settle());
        QCOMPARE(failures.size(), 1);
        const QString message = failures.first().first().toString();
        // Names the server's error, never an empty reason.
        QVERIFY2(message.contains("reconnecting failed: ") && message.contains("connect"),
                 qPrintable(message));
        QCOMPARE(takes->text(), QStringLiteral("3x"));
        QVERIFY(takes->property("unsaved").toBool());

        QVERIFY2(server.startAgain(), qPrintable(server.errorText()));
        info->unsavedBar()->firstButton()->click();
        QVERIFY(settle());
        QVERIFY(!info->hasUnsavedChanges());
        QCOMPARE(stored(firstShot, "takes").toString(), QStringLiteral("3x"));
    }

    // Regression: after a restart the online transcode window called a
    // valid condition "rejected" for ever.
    void theOnlineFilterReconnectsAfterARestart()
    {
        const QString condition = QStringLiteral("project=%1").arg(project);
        ScanFilter filter(true, condition);
        QVERIFY2(filter.check(), qPrintable(filter.errorString()));
        QVERIFY2(server.restart(), qPrintable(server.errorText()));
        QCOMPARE(filter.verdict("raw/A/1.MTS"), ScanFilter::Accepted);
        QCOMPARE(filter.verdict("raw/A/9.MTS"), ScanFilter::Skipped);
        // The window builds a new filter for every scan.
        QVERIFY2(server.restart(), qPrintable(server.errorText()));
        ScanFilter next(true, condition);
        QVERIFY2(next.check(), qPrintable(next.errorString()));
        QCOMPARE(next.verdict("raw/A/2.MTS"), ScanFilter::Accepted);
        // A condition the server rejects is still reported as such.
        ScanFilter wrong(true, "no_such_column = 1");
        QVERIFY(!wrong.check());
        QVERIFY2(wrong.errorString().contains("no_such_column"), qPrintable(wrong.errorString()));
    }

    // Regression: a stall or a restart while posters loaded turned them off
    // for the session, saying the media tables were missing; not even
    // Change Project brought them back. Now the posters wait for the server
    // and come back by themselves, without a scroll.
    void postersComeBackAfterTheServerDoes_data()
    {
        QTest::addColumn<bool>("restarted");
        QTest::newRow("stalled longer than a statement limit") << false;
        QTest::newRow("restarted, down while posters were asked for") << true;
    }

    void postersComeBackAfterTheServerDoes()
    {
        QFETCH(bool, restarted);
        constexpr int shots = 3000;
        QImage picture(320, 180, QImage::Format_RGB32);
        picture.fill(QColor(200, 80, 40));
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "JPG"));
        QVERIFY2(server.sql(QStringLiteral("DELETE FROM shot_posters; DELETE FROM shot_media;"
                                           "INSERT INTO shots (project, filename, MD5, SHA1) "
                                           "SELECT p.id, CONCAT('raw/P/', n.seq, '.MTS'), MD5(n.seq), SHA1(n.seq) "
                                           "FROM projects p, seq_1_to_%1 n;"
                                           "INSERT INTO shot_posters (MD5, SHA1, image, width, height) "
                                           "SELECT MD5, SHA1, X'%2', 320, 180 FROM shots;")
                                .arg(shots)
                                .arg(QString::fromLatin1(jpeg.toHex())),
                            server.databaseName()),
                 qPrintable(server.errorText()));
        openBrowser(shots + 2);
        QSignalSpy messages(grid, &GridWidget::message);
        QTRY_VERIFY_WITH_TIMEOUT(postersInView(), 20000);

        auto resume = qScopeGuard([this]() {
            server.resume();
            if (server.pid() == 0)
                server.startAgain();
        });
        QVERIFY(restarted ? server.stop() : server.pause());
        // Posters are asked for while the server does not answer.
        grid->scrollTo(grid->model->index(shots / 2, 0), QAbstractItemView::PositionAtTop);
        QTRY_VERIFY_WITH_TIMEOUT(!messages.isEmpty(), reportedWithinMs);
        QTest::qWait(limitSeconds * 1000);
        QVERIFY(!postersInView());
        QVERIFY(restarted ? server.startAgain() : server.resume());
        // Nothing more is done: they come back by themselves.
        QTRY_VERIFY_WITH_TIMEOUT(postersInView(), 30000);
        QStringList said;
        for (const QList<QVariant> &message : std::as_const(messages))
            said << message.first().toString();
        for (const QString &text : std::as_const(said))
            QVERIFY2(!text.contains("are off") && !text.contains("tavelo-sync"), qPrintable(said.join('\n')));
        QVERIFY2(said.filter("Posters wait for the server").size() == 1, qPrintable(said.join('\n')));
    }

    // Regression: closing the window while the grid's read was on the
    // database thread crashed the client in the thread (Qt SQL's globals
    // went away under it). Every close ends with status 0 and no signal,
    // and a stalled server does not hold the exit.
    void closingTheWindowNeverCrashes_data()
    {
        QTest::addColumn<bool>("stalled");
        QTest::newRow("closed as soon as shown, the first read of 2,000 shots in flight") << false;
        QTest::newRow("closed while a refresh waits for a stalled server") << true;
    }

    void closingTheWindowNeverCrashes()
    {
        QFETCH(bool, stalled);
        constexpr int runs = 50;
        QVERIFY(server.sql(QStringLiteral("INSERT INTO shots (project, filename, MD5, SHA1, scene, notes) "
                                          "SELECT p.id, CONCAT('raw/B/', n.seq, '.MTS'), MD5(n.seq), SHA1(n.seq), "
                                          "'12', REPEAT('note ', 20) FROM projects p, seq_1_to_2000 n"),
                           server.databaseName()));
        QTemporaryDir home;
        {
            QSettings settings(home.filePath("config/Corvanest/Tavelo Client.conf"), QSettings::IniFormat);
            settings.setValue("Connection/server", server.serverText());
            settings.setValue("Connection/db", server.databaseName());
            settings.setValue("Connection/username", server.user());
            settings.setValue("Connection/pw", server.password());
            settings.setValue("Connection/rootpath", work.path());
        }
        const QString ready = home.filePath("stalled");
        // The driver closes the window within 30 ms of its showing, while
        // its first read runs; or the server is stalled first, Refresh
        // starts a read that waits for it, and the window is closed then.
        const QString script = stalled ? QStringLiteral("LoginDialog:click:okButton;ProjectSelector:click:editButton;"
                                                        "MainWindow:waitfile:%1;MainWindow:trigger:refreshAction;"
                                                        "MainWindow:close")
                                             .arg(ready)
                                       : QStringLiteral("LoginDialog:click:okButton;ProjectSelector:click:editButton;"
                                                        "MainWindow:close");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("HOME", home.path());
        environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
        environment.insert("QT_PLUGIN_PATH", TAVELO_DRIVER_PLUGIN_PATH);
        environment.insert("QT_QPA_GENERIC_PLUGINS", "tavelo_driver");
        environment.insert("TAVELO_DRIVE", script);
        environment.insert(timeoutVariable, QString::number(limitSeconds));
        for (int run = 0; run < runs; ++run) {
            QFile::remove(ready);
            server.resume();
            QProcess client;
            client.setProcessEnvironment(environment);
            client.setProcessChannelMode(QProcess::SeparateChannels);
            client.start(TAVELO_CLIENT_PATH);
            QVERIFY(client.waitForStarted());
            QString log;
            QElapsedTimer closing;
            // Once the main window is being built: stall the server (or not),
            // then let the driver refresh and close.
            while (stalled && client.state() == QProcess::Running && !QFileInfo::exists(ready)) {
                client.waitForReadyRead(50);
                log += QString::fromLocal8Bit(client.readAllStandardError());
                if (log.contains("driver: step 2 done")) {
                    if (stalled)
                        QVERIFY2(server.pause(), qPrintable(server.errorText()));
                    QFile(ready).open(QIODevice::WriteOnly);
                    closing.start();
                }
            }
            const bool finished = client.waitForFinished(30000);
            const qint64 exitMs = closing.isValid() ? closing.elapsed() : -1;
            server.resume();
            if (!finished)
                client.kill();
            client.waitForFinished();
            log += QString::fromLocal8Bit(client.readAllStandardError());
            const QString which = QStringLiteral("run %1 of %2:\n%3").arg(run + 1).arg(runs).arg(log);
            QVERIFY2(finished, qPrintable(which));
            QVERIFY2(client.exitStatus() == QProcess::NormalExit, qPrintable(which));
            QVERIFY2(client.exitCode() == 0, qPrintable(QStringLiteral("exit code %1, ").arg(client.exitCode()) + which));
            QVERIFY2(log.contains("driver: shown MainWindow"), qPrintable(which));
            // A stalled server holds the exit about a second at most (the
            // driver's steps take some tens of ms).
            if (stalled)
                QVERIFY2(exitMs >= 0 && exitMs < 5000, qPrintable(QStringLiteral("%1 ms, ").arg(exitMs) + which));
        }
    }

    // Regression: with the server stopped while a large clip hashed, Cancel
    // in the chooser's sync window froze the window for 40 s, and the result
    // then said the database had failed. The window goes on turning, Cancel
    // is answered within about a second, and the result says cancelled:
    // what was committed stays, what was not is not recorded.
    void theChoosersSyncAnswersCancelWhileTheServerStalls_data()
    {
        QTest::addColumn<bool>("atTheStart");
        QTest::newRow("stalled while a large clip hashed, a batch waiting") << false;
        QTest::newRow("stalled before the project was checked") << true;
    }

    void theChoosersSyncAnswersCancelWhileTheServerStalls()
    {
        QFETCH(bool, atTheStart);
        const QString root = work.filePath("stalled-sync");
        makeSyncRoot(root, 300, 3, qint64(1) << 30);
        auto limits = qScopeGuard([]() { qputenv(timeoutVariable, QByteArray::number(limitSeconds)); });
        useTheUsualLimit();
        QVERIFY(QDir::setCurrent(root));
        auto resume = qScopeGuard([this]() {
            server.resume();
            QDir::setCurrent(work.path());
        });
        ProjectSelector chooser;
        SyncSummary summary;
        QString details;
        qint64 answeredMs = -1;
        qint64 longestTurnMs = -1;
        whenModal("ProjectSelector", [&](QWidget *) {
            whenModal("PopulateDB", [&](QWidget *window) {
                auto *engine = window->findChild<SyncEngine *>();
                auto *button = window->findChild<QPushButton *>("cancelButton");
                if (!atTheStart) {
                    QTRY_COMPARE_WITH_TIMEOUT(engine->progress().currentClip, QStringLiteral("raw/B/big1.MTS"), 60000);
                    QVERIFY(server.pause());
                }
                // Each turn of the window's event loop.
                QElapsedTimer sinceTurn;
                sinceTurn.start();
                qint64 longest = 0;
                QTimer turns;
                turns.setInterval(0);
                connect(&turns, &QTimer::timeout, window, [&]() { longest = qMax(longest, sinceTurn.restart()); });
                turns.start();
                // Once the first large clip is hashed, its batch waits for
                // the server.
                if (!atTheStart)
                    QTRY_COMPARE_WITH_TIMEOUT(engine->progress().currentClip, QStringLiteral("raw/B/big2.MTS"), 60000);
                QTest::qWait(300);
                QElapsedTimer clock;
                clock.start();
                button->click();
                QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Close"), 10000);
                answeredMs = clock.elapsed();
                longestTurnMs = qMax(longest, sinceTurn.elapsed());
                summary = engine->summary();
                details = summary.text();
                saveScreenshot(window, atTheStart ? "sync-cancelled-stalled-check" : "sync-cancelled-stalled");
                server.resume(); // the chooser reads its list again next
                button->click();
            });
            if (atTheStart)
                QVERIFY(server.pause());
            chooser.findChild<QPushButton *>("syncButton")->click();
            chooser.reject();
        });
        chooser.exec();
        QVERIFY2(answeredMs >= 0 && answeredMs < 1500, qPrintable(QString::number(answeredMs)));
        QVERIFY2(longestTurnMs >= 0 && longestTurnMs < 500, qPrintable(QString::number(longestTurnMs)));
        QCOMPARE(int(summary.status), int(SyncSummary::Status::Cancelled));
        server.resume();
        if (atTheStart) {
            QCOMPARE(details, QStringLiteral("The sync was cancelled before it began; nothing was synced."));
            QVERIFY(!QFile::exists(root + "/dbclient.cache"));
            return;
        }
        QVERIFY2(details.contains("The sync was cancelled;"), qPrintable(details));
        QStringList recorded;
        checkCacheFile(root, &recorded);
        QVERIFY(!recorded.contains("raw/B/big1.MTS"));
        QCOMPARE(recorded.size(), summary.matched + summary.inserted);
    }

    // Regression: SIGINT 3 s into such a stall ended tavelo-sync 38 s later,
    // with status 3 instead of 1 (its main thread waited in the statement
    // and looked at the interrupt only afterwards).
    void theCompanionEndsAtOnceOnAnInterruptDuringAStall()
    {
        const QString root = work.filePath("interrupted-sync");
        makeSyncRoot(root, 300, 3, qint64(2) << 30);
        QProcess tool;
        startSync(&tool, root, statementTimeoutSeconds);
        QVERIFY(tool.waitForStarted());
        auto resume = qScopeGuard([this, &tool]() {
            server.resume();
            if (tool.state() != QProcess::NotRunning) {
                tool.kill();
                tool.waitForFinished();
            }
        });
        // The small clips before the large ones are recorded: those are
        // being hashed.
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += tool.readAllStandardOutput()).count("  raw/A/") >= 150
                                     || tool.state() == QProcess::NotRunning,
                                 60000);
        QVERIFY2(tool.state() == QProcess::Running,
                 (out + tool.readAllStandardError()).right(2000).constData());
        QVERIFY(server.pause());
        QTest::qWait(3000);
        // Never pid 0: that would interrupt this test's own process group.
        const qint64 pid = tool.processId();
        QVERIFY2(tool.state() == QProcess::Running && pid > 0,
                 (out + tool.readAllStandardOutput() + tool.readAllStandardError()).right(3000).constData());
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(pid), SIGINT);
        if (!tool.waitForFinished(20000))
            QFAIL("tavelo-sync did not end within 20 s of SIGINT");
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        out += tool.readAllStandardOutput();
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QVERIFY2(tool.exitCode() == 1, out.right(2000).constData());
        QVERIFY2(out.contains("The sync was cancelled;"), out.right(2000).constData());
        server.resume();
        QStringList recorded;
        checkCacheFile(root, &recorded);
        QVERIFY(recorded.size() >= 150);
    }

    // Regression: the server restarted (down for seconds) while a large clip
    // hashed, and the sync said "Reopening it failed"; from then on every
    // "Sync Project", also in the chooser shown again by Change Project,
    // said at once "There is no open database connection" until the client
    // was restarted.
    void aSyncAfterTheServerRestartedMidSyncSucceeds()
    {
        const QString root = work.filePath("restarted-sync");
        makeSyncRoot(root, 6, 1, qint64(2) << 30);
        QVERIFY(QDir::setCurrent(root));
        auto back = qScopeGuard([this]() {
            if (server.pid() == 0)
                server.startAgain();
            QDir::setCurrent(work.path());
        });
        // "Sync Project" in a chooser on screen; while stopAt is hashed, the
        // server stops, and it comes back once the sync has ended.
        auto sync = [this](ProjectSelector &chooser, const QString &stopAt) {
            SyncSummary summary;
            whenModal(
                "PopulateDB",
                [&](QWidget *window) {
                    auto *engine = window->findChild<SyncEngine *>();
                    auto *button = window->findChild<QPushButton *>("cancelButton");
                    if (!stopAt.isEmpty()) {
                        QTRY_COMPARE_WITH_TIMEOUT(engine->progress().currentClip, stopAt, 60000);
                        QVERIFY(server.stop());
                    }
                    QTRY_COMPARE_WITH_TIMEOUT(button->text(), QStringLiteral("Close"), 60000);
                    summary = engine->summary();
                    if (!stopAt.isEmpty())
                        QVERIFY2(server.startAgain(), qPrintable(server.errorText()));
                    button->click();
                },
                30000);
            chooser.findChild<QPushButton *>("syncButton")->click();
            return summary;
        };
        SyncSummary lost, next, shownAgain;
        {
            ProjectSelector chooser;
            whenModal("ProjectSelector", [&](QWidget *) {
                lost = sync(chooser, "raw/B/big1.MTS");
                next = sync(chooser, QString());
                chooser.reject();
            });
            chooser.exec();
        }
        {
            ProjectSelector chooser; // as File > Change Project... shows it
            whenModal("ProjectSelector", [&](QWidget *) {
                shownAgain = sync(chooser, QString());
                chooser.reject();
            });
            chooser.exec();
        }
        QCOMPARE(int(lost.status), int(SyncSummary::Status::DatabaseFailed));
        QVERIFY2(lost.text().contains("Reopening it failed"), qPrintable(lost.text()));
        for (const SyncSummary &again : {next, shownAgain}) {
            QVERIFY2(again.status == SyncSummary::Status::Completed, qPrintable(again.text()));
            QCOMPARE(again.matched + again.inserted, 7);
        }
        QStringList recorded;
        checkCacheFile(root, &recorded);
        QCOMPARE(recorded.size(), 7);
    }

    void theSyncEndsWithStatus3WhenTheServerStalls()
    {
        const QString root = work.filePath("sync");
        QVERIFY(QDir().mkpath(root + "/raw"));
        auto createFile = [](const QString &path, const QByteArray &content) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
        };
        QVERIFY(createFile(root + "/raw/1.MTS", "a small first clip"));
        // Large enough that its hashing outlasts the stop below.
        QVERIFY(createFile(root + "/raw/2.MTS", QByteArray(200 * 1024 * 1024, 'x')));
        QProcess tool;
        startSync(&tool, root, limitSeconds);
        QVERIFY(tool.waitForStarted());
        auto resume = qScopeGuard([this, &tool]() {
            server.resume();
            if (tool.state() != QProcess::NotRunning) {
                tool.kill();
                tool.waitForFinished();
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(tool.canReadLine() || tool.state() == QProcess::NotRunning, 30000);
        QVERIFY(server.pause());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(tool.waitForFinished(60000));
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 3);
    }
};

QTEST_MAIN(TestServerFaults)
#include "tst_serverfaults.moc"
