// The rules of edits in progress and of the shared history, without a
// screen: drafts, checked saves, the history rows each kind of save leaves,
// undo and redo, against the real test database with a second connection
// as another client.

#include "app/clientstate.h"
#include "db/dbworker.h"
#include "shots/shotedits.h"
#include "shots/shothistorymodel.h"
#include "shots/shottablemodel.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>

class TestEdits : public QObject
{
    Q_OBJECT

private:
    QSqlDatabase other; // a second client
    int project = 0;
    ShotTableModel *model = nullptr;
    ShotEdits *edits = nullptr;

    int addShot(const QString &filename, const QVariantMap &fields = {})
    {
        return TestDb::addShot(other, project, filename, fields);
    }

    QVariant stored(int id, const QString &column)
    {
        settle();
        return TestDb::shotValue(other, id, column);
    }

    void setStored(int id, const QString &column, const QVariant &value)
    {
        QVERIFY(TestDb::setShotValue(other, id, column, value));
    }

    // "shot column old>new set undoes", oldest first.
    QStringList history()
    {
        settle();
        QSqlQuery query(other);
        QStringList rows;
        if (!query.exec("SELECT shot_id, column_name, COALESCE(old_value, 'NULL'), COALESCE(new_value, 'NULL'), "
                        "change_set, COALESCE(undoes, 0), os_user, host, db_user FROM shot_changes ORDER BY id"))
            return {query.lastError().text()};
        while (query.next())
            rows << QStringLiteral("%1 %2 %3>%4 %5 %6")
                        .arg(query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                             query.value(3).toString(), query.value(4).toString(), query.value(5).toString());
        return rows;
    }

    int changeSets()
    {
        settle();
        QSqlQuery query(other);
        if (!query.exec("SELECT COUNT(DISTINCT change_set) FROM shot_changes") || !query.next())
            return -1;
        return query.value(0).toInt();
    }

    bool settle(int timeoutMs = 20000)
    {
        QElapsedTimer clock;
        clock.start();
        while (((model && model->isBusy()) || DbWorker::shared()->isBusy()) && clock.elapsed() < timeoutMs)
            QTest::qWait(5);
        QTest::qWait(0);
        return !model || !model->isBusy();
    }

    void openModel()
    {
        edits = new ShotEdits;
        model = new ShotTableModel(nullptr, edits);
        edits->setParent(model);
        model->setTable("shots");
        ShotQuery shots;
        shots.project = project;
        model->setQuery(shots);
        QVERIFY(settle());
        QVERIFY(model->hasColumns());
    }

    int rowOf(int id) const { return model->rowOfId(id); }
    QModelIndex cell(int id, const char *column) const
    {
        return model->index(rowOf(id), model->fieldIndex(QLatin1String(column)));
    }

private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        QSqlDatabase db = TestDb::open();
        QVERIFY2(db.isOpen(), qPrintable(db.lastError().text()));
        other = TestDb::open("other");
        QVERIFY(other.isOpen());
    }

    void init()
    {
        QSqlQuery restore(other);
        restore.exec("RENAME TABLE shot_changes_away TO shot_changes");
        QVERIFY(TestDb::reset(other));
        project = TestDb::addProject(other, "Pier", QVariant());
    }

    void cleanup()
    {
        settle();
        delete model;
        model = nullptr;
        edits = nullptr;
    }

    // Each kind of save leaves one history row per field it changed, in one
    // change set per user action; a value kept unchanged leaves none.
    void eachSaveIsRecordedInTheSameTransaction_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("expected"); // without change set numbers
        QTest::newRow("one shot, two fields") << "single"
                                              << QStringList{"1 scene 1>2", "1 takes NULL>5"};
        QTest::newRow("bulk edit of three shots") << "bulk"
                                                  << QStringList{"1 takes NULL>9", "2 takes NULL>9",
                                                                 "3 takes 4>9"};
        QTest::newRow("write mine over another client's value") << "write mine"
                                                                << QStringList{"1 scene theirs>mine"};
        QTest::newRow("keep the stored value") << "keep stored" << QStringList{};
    }

    void eachSaveIsRecordedInTheSameTransaction()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, expected);
        const int a = addShot("raw/A/1.MTS", {{"scene", "1"}});
        const int b = addShot("raw/A/2.MTS");
        const int c = addShot("raw/A/3.MTS", {{"takes", "4"}});
        openModel();
        if (action == "single") {
            model->setData(cell(a, "scene"), "2", ShotTableModel::TypingRole);
            model->setData(cell(a, "takes"), "5", ShotTableModel::TypingRole);
            edits->save({a});
        } else if (action == "bulk") {
            for (int id : {a, b, c})
                edits->type(id, "takes", model->storedValue(rowOf(id), model->fieldIndex("takes")), "9");
            edits->save({a, b, c});
        } else {
            setStored(a, "scene", "theirs");
            model->setData(cell(a, "scene"), "mine");
            QVERIFY(settle());
            QCOMPARE(edits->conflicts().size(), 1);
            QCOMPARE(history(), QStringList());
            edits->resolve(a, "scene", action == "write mine");
        }
        QVERIFY(settle());
        QStringList rows;
        QSet<QString> sets;
        for (const QString &row : history()) {
            rows << row.section(' ', 0, 2);
            sets << row.section(' ', 3, 3);
        }
        QCOMPARE(rows, expected);
        QCOMPARE(sets.size(), expected.isEmpty() ? 0 : 1);
        QVERIFY(!edits->hasPending());
        QCOMPARE(edits->history(), ShotEdits::History::Kept);
        QCOMPARE(edits->canUndo(), !expected.isEmpty());
        // Who made it: the database user, and this machine's user and host.
        QSqlQuery who(other);
        QVERIFY(who.exec("SELECT db_user, host, changed_at FROM shot_changes LIMIT 1"));
        if (who.next()) {
            QVERIFY(who.value(0).toString().startsWith(TestDb::user() + "@"));
            QCOMPARE(who.value(1).toString(), ShotWriter::Author::current().host);
            QVERIFY(!who.value(2).isNull());
        }
    }

    // Undo puts back what each field held, as one action marked as
    // undoing the change set; Redo applies it again. Both are recorded.
    void undoAndRedoOfASaveAndOfABulkEdit()
    {
        QList<int> ids;
        for (int i = 0; i < 5; ++i)
            ids << addShot(QStringLiteral("raw/A/%1.MTS").arg(i), {{"takes", QString::number(i)}});
        openModel();
        model->setData(cell(ids[0], "scene"), "12"); // a cell edit
        QVERIFY(settle());
        QList<qlonglong> all;
        for (int id : ids) {
            edits->type(id, "takes", model->storedValue(rowOf(id), model->fieldIndex("takes")), "bulk");
            all << id;
        }
        edits->save(all);
        QVERIFY(settle());
        QCOMPARE(changeSets(), 2);
        QCOMPARE(edits->undoChangeSets().size(), 2);

        edits->undo(); // the bulk edit, as one action
        QVERIFY(settle());
        for (int i = 0; i < ids.size(); ++i) {
            QCOMPARE(stored(ids[i], "takes").toString(), QString::number(i));
            QCOMPARE(model->data(cell(ids[i], "takes")).toString(), QString::number(i));
        }
        QCOMPARE(stored(ids[0], "scene").toString(), QStringLiteral("12"));
        QCOMPARE(changeSets(), 3);
        const QStringList rows = history();
        const QString bulkSet = rows.at(1).section(' ', 3, 3);
        for (int i = 6; i < 11; ++i) {
            QCOMPARE(rows.at(i).section(' ', 4, 4), bulkSet); // marked as undoing it
            QVERIFY2(rows.at(i).section(' ', 2, 2).startsWith("bulk>"), qPrintable(rows.at(i)));
        }
        QVERIFY(edits->canRedo());

        edits->undo(); // the cell edit
        QVERIFY(settle());
        QVERIFY(stored(ids[0], "scene").isNull());
        QVERIFY(!edits->canUndo());

        edits->redo();
        QVERIFY(settle());
        QCOMPARE(stored(ids[0], "scene").toString(), QStringLiteral("12"));
        edits->redo();
        QVERIFY(settle());
        for (int id : ids)
            QCOMPARE(stored(id, "takes").toString(), QStringLiteral("bulk"));
        QVERIFY(!edits->canRedo());
        QCOMPARE(changeSets(), 6);
        // A new edit ends what can be redone.
        edits->undo();
        QVERIFY(settle());
        QVERIFY(edits->canRedo());
        model->setData(cell(ids[1], "scene"), "new");
        QVERIFY(settle());
        QVERIFY(!edits->canRedo());
    }

    // Regression guard: an undo never overwrites a colleague's later
    // change silently; the old value waits in the conflict bar.
    void undoOverAColleaguesLaterChangeIsPutToTheUser()
    {
        const int a = addShot("raw/A/1.MTS", {{"location", "East pier"}});
        const int b = addShot("raw/A/2.MTS", {{"location", "East pier"}});
        openModel();
        for (int id : {a, b})
            edits->type(id, "location", "East pier", "West quay");
        edits->save({a, b});
        QVERIFY(settle());
        setStored(b, "location", "Careful notes of a colleague");
        QSignalSpy messages(model, &ShotTableModel::saveFailed);
        edits->undo();
        QVERIFY(settle());
        QCOMPARE(stored(a, "location").toString(), QStringLiteral("East pier"));
        QCOMPARE(stored(b, "location").toString(), QStringLiteral("Careful notes of a colleague"));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().first().toString().contains(QString::number(b)),
                 qPrintable(messages.first().first().toString()));
        const QList<ShotEdits::Draft> conflicts = edits->conflicts();
        QCOMPARE(conflicts.size(), 1);
        QCOMPARE(conflicts.first().shot, qlonglong(b));
        QCOMPARE(conflicts.first().stored.toString(), QStringLiteral("Careful notes of a colleague"));
        QCOMPARE(conflicts.first().typed.toString(), QStringLiteral("East pier"));
        // The model shows what is stored; writing the old value is a choice.
        QCOMPARE(model->data(cell(b, "location")).toString(), QStringLiteral("Careful notes of a colleague"));
        edits->resolve(b, "location", true);
        QVERIFY(settle());
        QCOMPARE(stored(b, "location").toString(), QStringLiteral("East pier"));
    }

    // Regression guard: if the history row cannot be written, neither is
    // the change, and the typed value stays.
    void aChangeWhoseHistoryCannotBeWrittenIsNotMade()
    {
        const int a = addShot("raw/A/1.MTS", {{"scene", "1"}});
        openModel();
        edits->checkHistory();
        QVERIFY(settle());
        QCOMPARE(edits->history(), ShotEdits::History::Kept);
        QSqlQuery away(other);
        QVERIFY(away.exec("RENAME TABLE shot_changes TO shot_changes_away"));
        QSignalSpy messages(model, &ShotTableModel::saveFailed);
        model->setData(cell(a, "scene"), "2");
        QVERIFY(settle());
        QCOMPARE(stored(a, "scene").toString(), QStringLiteral("1"));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages.first().first().toString().contains("missing"), qPrintable(messages.first().first().toString()));
        const ShotEdits::Draft *draft = edits->draft(a, "scene");
        QVERIFY(draft);
        QCOMPARE(draft->state, ShotEdits::State::Unsaved);
        QCOMPARE(draft->typed.toString(), QStringLiteral("2"));
        QCOMPARE(model->data(cell(a, "scene")).toString(), QStringLiteral("2"));
        QVERIFY(away.exec("RENAME TABLE shot_changes_away TO shot_changes"));
        edits->save({a});
        QVERIFY(settle());
        QCOMPARE(stored(a, "scene").toString(), QStringLiteral("2"));
        QCOMPARE(history().size(), 1);
    }

    // Without the table (an older database) editing works as before, and
    // the user is told once how to enable the history.
    void withoutTheHistoryTableEditsAreSavedAndTheUserToldOnce()
    {
        const int a = addShot("raw/A/1.MTS");
        QSqlQuery away(other);
        QVERIFY(away.exec("RENAME TABLE shot_changes TO shot_changes_away"));
        openModel();
        QSignalSpy notes(model, &ShotTableModel::notice);
        model->setData(cell(a, "scene"), "1");
        QVERIFY(settle());
        model->setData(cell(a, "scene"), "2");
        QVERIFY(settle());
        QCOMPARE(stored(a, "scene").toString(), QStringLiteral("2"));
        QCOMPARE(edits->history(), ShotEdits::History::Missing);
        QVERIFY(!edits->canUndo());
        int told = 0;
        for (const QList<QVariant> &note : notes)
            told += note.first().toString().contains("--setup-database") ? 1 : 0;
        QCOMPARE(told, 1);
        QVERIFY(away.exec("RENAME TABLE shot_changes_away TO shot_changes"));
    }

    // Drafts belong to shots: a read of other rows (a find) keeps them, and
    // the typed value is saved after the save already on its way, in order.
    void draftsBelongToShotsAndAreSavedInOrder()
    {
        const int a = addShot("raw/A/1.MTS", {{"notes", "gulls"}});
        const int b = addShot("raw/A/2.MTS", {{"notes", "pier"}});
        openModel();
        model->setData(cell(a, "scene"), "first");
        // Typed again while that save is on its way.
        model->setData(cell(a, "scene"), "second", ShotTableModel::TypingRole);
        model->setData(cell(b, "takes"), "7", ShotTableModel::TypingRole);
        model->setFind(QStringLiteral("gulls"), false);
        QVERIFY(settle());
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(stored(a, "scene").toString(), QStringLiteral("first"));
        QVERIFY(edits->draft(b, "takes"));
        QCOMPARE(edits->draft(b, "takes")->typed.toString(), QStringLiteral("7"));
        QCOMPARE(edits->draft(a, "scene")->state, ShotEdits::State::Typing);
        edits->saveAll();
        QVERIFY(settle());
        QCOMPARE(stored(a, "scene").toString(), QStringLiteral("second"));
        QCOMPARE(stored(b, "takes").toString(), QStringLiteral("7"));
        model->setFind(QString(), false);
        QVERIFY(settle());
        QCOMPARE(model->data(cell(b, "takes")).toString(), QStringLiteral("7"));
        QVERIFY(!edits->hasPending());
        // "first" then "second": the history keeps their order.
        const QStringList rows = history();
        QVERIFY2(rows.size() == 3 && rows.at(0).contains("NULL>first") && rows.at(1).contains("first>second"),
                 qPrintable(rows.join(" | ")));
    }

    // Regression: a read asked for while an older one's rows were on their
    // way back took the older read's end for its own, so the model said it
    // was idle while the newer read still waited for the server.
    void aReadAskedForWhileAnOlderOneEndsKeepsTheModelBusy()
    {
        addShot("raw/A/1.MTS");
        openModel();
        DbWorker *worker = DbWorker::shared();
        QSemaphore olderDone, release;
        auto hold = qScopeGuard([&release]() { release.release(); });
        model->select();
        QCoreApplication::processEvents(); // the older read is posted
        // Runs after the older read, then holds the thread: its rows are
        // back, not yet handed over, and the newer read has to wait.
        worker->post(this, [&](DbSession &) -> DbWorker::Continuation {
            olderDone.release();
            release.acquire();
            return {};
        });
        QVERIFY(olderDone.tryAcquire(1, 20000));
        model->select();
        QCoreApplication::processEvents(); // the older rows come back; the newer read is posted
        QVERIFY(model->isBusy());
        release.release();
        hold.dismiss();
        QVERIFY(settle());
        QVERIFY(!model->isBusy());
        QCOMPARE(model->rowCount(), 1);
    }

    // Regression: a login name longer than the history's column blocked
    // every edit, and the refusal blamed the field being saved. Who made a
    // change is cut to its column; a refusal names the column the server
    // named; the status bar counts one field as one.
    void whoMadeAChangeIsCutToItsColumnAndARefusalNamesTheServersColumn_data()
    {
        QTest::addColumn<QString>("narrowColumn"); // a history column made narrower than the value
        QTest::addColumn<QString>("message");
        QTest::newRow("a 70-character login name") << QString() << "Undone: Scene of shot %1, raw/A/1.MTS";
        QTest::newRow("a host name longer than its column")
            << "host" << "The value is longer than the column host can hold";
    }

    void whoMadeAChangeIsCutToItsColumnAndARefusalNamesTheServersColumn()
    {
        QFETCH(QString, narrowColumn);
        QFETCH(QString, message);
        const QByteArray login(70, 'l');
        const QByteArray user = qgetenv("USER");
        qputenv("USER", login);
        QSqlQuery alter(other);
        auto restore = qScopeGuard([&]() {
            qputenv("USER", user);
            alter.exec("ALTER TABLE shot_changes MODIFY host VARCHAR(255) NULL");
        });
        if (!narrowColumn.isEmpty())
            QVERIFY2(alter.exec(QStringLiteral("ALTER TABLE shot_changes MODIFY %1 VARCHAR(1) NULL").arg(narrowColumn)),
                     qPrintable(alter.lastError().text()));
        const int a = addShot("raw/A/1.MTS", {{"scene", "D0"}});
        openModel();
        QSignalSpy problems(model, &ShotTableModel::saveFailed);
        QSignalSpy notes(model, &ShotTableModel::notice);
        model->setData(cell(a, "scene"), "D1");
        QVERIFY(settle());
        if (!narrowColumn.isEmpty()) {
            QCOMPARE(stored(a, "scene").toString(), QStringLiteral("D0"));
            QCOMPARE(problems.size(), 1);
            const QString said = problems.first().first().toString();
            QVERIFY2(said.contains(message) && !said.contains("longer than Scene"), qPrintable(said));
            return;
        }
        QCOMPARE(problems.size(), 0);
        QCOMPARE(stored(a, "scene").toString(), QStringLiteral("D1"));
        QSqlQuery who(other);
        QVERIFY(who.exec("SELECT os_user FROM shot_changes") && who.next());
        QCOMPARE(who.value(0).toString(), QString::fromLatin1(login.left(64)));
        edits->undo();
        QVERIFY(settle());
        QCOMPARE(stored(a, "scene").toString(), QStringLiteral("D0"));
        QVERIFY(!notes.isEmpty());
        QCOMPARE(notes.last().first().toString(), message.arg(a));
    }

    // Undo and Redo say what they took back: the fields, in the form's
    // order, and the shot with its file, or how many shots.
    void undoAndRedoSayWhatTheyRevert_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("said");
        QTest::newRow("one field of one shot") << "notes" << "Notes of shot %1, raw/A/1.MTS";
        QTest::newRow("two fields of one shot") << "shot scene" << "Scene, Shot of shot %1, raw/A/1.MTS";
        QTest::newRow("one field of three shots") << "bulk notes" << "Notes of 3 shots";
    }

    void undoAndRedoSayWhatTheyRevert()
    {
        QFETCH(QString, edit);
        QFETCH(QString, said);
        const int a = addShot("raw/A/1.MTS");
        const int b = addShot("raw/A/2.MTS");
        const int c = addShot("raw/A/3.MTS");
        openModel();
        const QList<qlonglong> shots = edit.startsWith("bulk") ? QList<qlonglong>{a, b, c} : QList<qlonglong>{a};
        for (qlonglong shot : shots) {
            for (const QString &column : edit.split(' ')) {
                if (column != "bulk")
                    edits->type(shot, column, QVariant(), "x");
            }
        }
        edits->save(shots);
        QVERIFY(settle());
        const QString words = said.arg(a);
        QCOMPARE(ShotEdits::describe(edits->nextUndo()), words);
        QCOMPARE(edits->nextUndo().shots, shots);
        QSignalSpy notes(model, &ShotTableModel::notice);
        edits->undo();
        QVERIFY(settle());
        QVERIFY(!notes.isEmpty());
        QCOMPARE(notes.last().first().toString(), "Undone: " + words);
        QCOMPARE(ShotEdits::describe(edits->nextRedo()), words);
        edits->redo();
        QVERIFY(settle());
        QCOMPARE(notes.last().first().toString(), "Redone: " + words);
        QCOMPARE(stored(a, edit.section(' ', -1)).toString(), QStringLiteral("x"));
    }

    // The history of one shot, newest first, with who made each change.
    void theHistoryOfAShotIsListedNewestFirst()
    {
        const int a = addShot("raw/A/1.MTS");
        openModel();
        for (const char *value : {"1", "2", "3"}) {
            model->setData(cell(a, "scene"), value);
            QVERIFY(settle());
        }
        edits->undo();
        QVERIFY(settle());
        ShotHistoryModel list;
        QSignalSpy loaded(&list, &ShotHistoryModel::loaded);
        list.showShot(a);
        QTRY_COMPARE(loaded.size(), 1);
        QCOMPARE(list.rowCount(), 4);
        auto text = [&list](int row, int column) { return list.data(list.index(row, column)).toString(); };
        QCOMPARE(text(0, ShotHistoryModel::Field), QStringLiteral("Scene (undo)"));
        QCOMPARE(text(0, ShotHistoryModel::Before), QStringLiteral("3"));
        QCOMPARE(text(0, ShotHistoryModel::After), QStringLiteral("2"));
        QCOMPARE(text(3, ShotHistoryModel::Before), QStringLiteral("(empty)"));
        QCOMPARE(text(3, ShotHistoryModel::After), QStringLiteral("1"));
        const ShotWriter::Author me = ShotWriter::Author::current();
        QVERIFY2(text(0, ShotHistoryModel::Who).startsWith(me.osUser + "@" + me.host), qPrintable(text(0, 1)));
        QVERIFY(!text(0, ShotHistoryModel::When).isEmpty());
        // Long values are elided; the tooltip holds the whole text.
        const QString longNote = QString(500, 'n');
        model->setData(cell(a, "notes"), longNote);
        QVERIFY(settle());
        list.refresh();
        QTRY_COMPARE(loaded.size(), 2);
        QVERIFY(text(0, ShotHistoryModel::After).size() < 100);
        QCOMPARE(list.data(list.index(0, ShotHistoryModel::After), Qt::ToolTipRole).toString(), longNote);
    }
};

QTEST_MAIN(TestEdits)
#include "tst_edits.moc"
