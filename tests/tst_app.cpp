// The start-up sequence in this process: the main window driven through
// both dialogs. The main window is never deleted here, because its
// destructor ends the process (tst_startup runs those paths in a child).

#include "app/clientstate.h"
#include "app/mainwindow.h"
#include "shots/historypanel.h"
#include "shots/shothistorymodel.h"
#include "db/dbworker.h"
#include "db/connectionsettings.h"
#include "db/statements.h"
#include "shots/gridwidget.h"
#include "shots/shotinfowidget.h"
#include "shots/shottablemodel.h"
#include "shots/stillframeview.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDataWidgetMapper>
#include <QDialog>
#include <QDockWidget>
#include <QScrollBar>
#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableView>
#include <QSettings>
#include <QTimer>
#include <QSignalSpy>
#include <QElapsedTimer>
#include <QTextEdit>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QProcess>
#include <QJsonDocument>
#include <QJsonArray>
#include <QCompleter>
#include <QFileDialog>
#include <QLabel>
#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QToolButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSplitter>
#include <QSplitterHandle>
#include <QStatusBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QShortcut>
#include <QtGui/qpa/qplatformtheme.h>
#include <QtGui/qpa/qplatformtheme_p.h>

class TestApp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QString startDirectory;


private slots:
    void initTestCase()
    {
        TAVELO_INIT_DB_TEST();
        startDirectory = QDir::currentPath();
        QSqlDatabase seed = TestDb::open("seed");
        QVERIFY(TestDb::reset(seed));
        QVERIFY(TestDb::addProject(seed, "Harbour Documentary", "Three days on the east pier."));
        QVERIFY(TestDb::addProject(seed, "Test Shoot", QVariant()));
        // Sample shots of the first project, one of them with its clip here.
        const QString clip = root.filePath("raw/CardA/00012.MTS");
        QVERIFY(makeClip(clip));
        QSqlQuery shots(seed);
        QVERIFY2(shots.exec(QStringLiteral(
                     "INSERT INTO shots (project, filename, MD5, SHA1, location, scene, shot, prod, "
                     "duration, quality, takes, related, shottype, descid, notes) VALUES "
                     "(1, 'raw/CardA/00012.MTS', '%1', '%2', 'East pier', '4', 'A', 1, '12', 70, "
                     "'3', '17, 18', 'Wide', 'D-4', 'Gulls at dawn'), "
                     "(1, 'raw/CardA/00013.MTS', '%3', '%4', 'East pier', '4', 'B', 0, '8', 55, "
                     "'1', NULL, 'Close-up', NULL, NULL), "
                     "(1, 'raw/CardB/00001.MTS', '%5', '%6', 'Harbour office', '5', 'A', NULL, "
                     "'31', NULL, '2', NULL, NULL, NULL, 'Interview, take two is best')")
                     .arg(fileMd5(clip), QString(40, 'a'), QString(32, 'b'), QString(40, 'b'),
                          QString(32, 'c'), QString(40, 'c'))),
                 qPrintable(shots.lastError().text()));
        // A crew day: 25 clips of a third project.
        QVERIFY(TestDb::addProject(seed, "Crew day", QVariant()));
        QStringList day;
        for (int i = 0; i < 25; ++i)
            day << QStringLiteral("(3, 'raw/Day/%1.MTS', '%2', '%3', '%4')")
                       .arg(i, 5, 10, QLatin1Char('0'))
                       .arg(QString(32, 'd'), QString(40, 'd'), QString::number(100 - i));
        QVERIFY2(shots.exec("INSERT INTO shots (project, filename, MD5, SHA1, scene) VALUES " + day.join(",")),
                 qPrintable(shots.lastError().text()));
        ConnectionSettings{TestDb::serverText(), TestDb::name(), TestDb::user(), TestDb::password(), root.path()}.save();
        // The first start knows no layout.
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).remove("Layout");
    }

    void init()
    {
        QDir::setCurrent(startDirectory);
        QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
        ClientState::instance()->connected = 0;
        ClientState::instance()->projectId = 0;
    }

    // Builds the main window through both dialogs; it is never deleted
    // (its destructor ends the process).
    MainWindow *openMainWindow(const QString &project = QStringLiteral("Harbour Documentary"))
    {
        whenModal("LoginDialog", [](QWidget *login) {
            login->findChild<QAbstractButton *>("okButton")->click();
        });
        whenModal("ProjectSelector", [project](QWidget *chooser) {
            if (!project.isEmpty()) {
                auto *box = chooser->findChild<QComboBox *>("projectBox");
                box->setCurrentIndex(box->findText(project));
            }
            chooser->findChild<QAbstractButton *>("editButton")->click();
        });
        return new MainWindow;
    }

    // The highlighted rows are exactly the one the form shows.
    static bool formShowsTheHighlightedRow(const GridWidget *grid, const ShotInfoWidget *info)
    {
        const QModelIndexList rows = grid->selectionModel()->selectedRows(0).isEmpty()
            ? QModelIndexList()
            : grid->selectionModel()->selectedRows(0);
        QSet<int> highlighted;
        for (const QModelIndex &cell : grid->selectionModel()->selectedIndexes())
            highlighted.insert(cell.row());
        const int current = grid->currentIndex().row();
        return highlighted == QSet<int>{current} && grid->model->shotOfRow(current) == info->currentShot()
            && grid->viewport()->rect().intersects(grid->visualRect(grid->currentIndex()));
    }

    void cleanupTestCase()
    {
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).remove("Layout");
    }

    void cancelledLoginShowsNoWindow()
    {
        whenModal("LoginDialog", [](QWidget *login) { static_cast<QDialog *>(login)->reject(); });
        auto *window = new MainWindow; // leaked on purpose
        QVERIFY(!window->isVisible());
        QVERIFY(!anyTopLevelWindowVisible());
    }

    void closedChooserShowsNoWindow()
    {
        whenModal("LoginDialog", [](QWidget *login) {
            login->findChild<QAbstractButton *>("okButton")->click();
        });
        whenModal("ProjectSelector", [](QWidget *chooser) { static_cast<QDialog *>(chooser)->reject(); });
        auto *window = new MainWindow;
        QCOMPARE(ClientState::instance()->connected, 1);
        QVERIFY(!window->isVisible());
        QVERIFY(!anyTopLevelWindowVisible());
    }

    void acceptedPathShowsTheMainWindow()
    {
        whenModal("LoginDialog", [](QWidget *login) {
            login->findChild<QAbstractButton *>("okButton")->click();
        });
        whenModal("ProjectSelector", [](QWidget *chooser) {
            chooser->findChild<QAbstractButton *>("editButton")->click();
        });
        auto *window = new MainWindow;
        QVERIFY(window->isVisible());
        QVERIFY(anyTopLevelWindowVisible());
        QCOMPARE(ClientState::instance()->projectId, 1);
        QCOMPARE(QDir::current().canonicalPath(), QDir(root.path()).canonicalPath());

        QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window->size(), QSize(600, 400)); // nothing remembered yet
        QCOMPARE(window->windowTitle(), QStringLiteral("MainWindow"));
        QCOMPARE(window->menuBar()->objectName(), QStringLiteral("menuBar"));
        // The menu bar holds File, Edit and Shots, with Refresh on F5; every
        // entry has its mnemonic.
        QCOMPARE(window->menuBar()->actions().size(), 3);
        QCOMPARE(window->menuBar()->actions().at(0)->text(), QStringLiteral("&File"));
        QCOMPARE(window->menuBar()->actions().at(1)->text(), QStringLiteral("&Edit"));
        QCOMPARE(window->menuBar()->actions().at(2)->text(), QStringLiteral("&Shots"));
        for (QAction *menu : window->menuBar()->actions()) {
            for (QAction *entry : menu->menu()->actions())
                QVERIFY2(entry->isSeparator() || entry->text().contains('&'), qPrintable(entry->text()));
        }
        auto *refresh = window->findChild<QAction *>("refreshAction");
        QVERIFY(refresh);
        QCOMPARE(refresh->text(), QStringLiteral("&Refresh"));
        QCOMPARE(refresh->shortcut(), QKeySequence(Qt::Key_F5));
        QVERIFY(window->menuBar()->actions().at(2)->menu()->actions().contains(refresh));
        // The tool bar holds the find field and nothing else.
        auto *toolBar = window->findChild<QToolBar *>("mainToolBar");
        QVERIFY(toolBar);
        QCOMPARE(toolBar->actions().size(), 1);
        auto *findBar = window->findChild<QWidget *>("findBar");
        QVERIFY(findBar);
        QCOMPARE(toolBar->widgetForAction(toolBar->actions().first()), findBar);
        QCOMPARE(window->statusBar()->objectName(), QStringLiteral("statusBar"));
        auto *splitter = qobject_cast<QSplitter *>(window->centralWidget());
        QVERIFY(splitter);
        QCOMPARE(splitter->orientation(), Qt::Vertical);
        QCOMPARE(splitter->count(), 3);
        auto *grid = qobject_cast<GridWidget *>(splitter->widget(0));
        auto *separator = qobject_cast<QSplitterHandle *>(splitter->widget(1));
        auto *info = qobject_cast<ShotInfoWidget *>(splitter->widget(2));
        QVERIFY(grid && separator && info);
        QCOMPARE(separator->height(), 4);
        QCOMPARE(separator->orientation(), Qt::Vertical);
        QVERIFY(settle(grid));
        QCOMPARE(grid->model->rowCount(), 3);
        QCOMPARE(info->mapper->model(), grid->model);
        QCOMPARE(info->findChild<QLineEdit *>("shotEdit")->text(), QStringLiteral("A"));
        QCOMPARE(qApp->styleSheet(), QString()); // set by main(), not by the window
        auto *count = window->findChild<QLabel *>("countLabel");
        QVERIFY(count);
        QCOMPARE(count->text(), QStringLiteral("3 of 3 shots"));

        window->setWindowTitle("something else");
        QEvent languageChange(QEvent::LanguageChange);
        QCoreApplication::sendEvent(window, &languageChange);
        QCOMPARE(window->windowTitle(), QStringLiteral("MainWindow"));

        qApp->setStyleSheet("QSplitter::handle { background-color: gray }");
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->resize(1000, 700);
        grid->setCurrentIndex(grid->model->index(0, 2));
        QTRY_VERIFY_WITH_TIMEOUT(!info->frameView()->pixmap().isNull(), 30000);
        QVERIFY(QFileInfo::exists(saveScreenshot(window, "mainwindow")));

        // Ctrl+F goes to the find field; the typed words narrow the rows and
        // the status bar counts them; Escape shows every shot again.
        grid->setFocus();
        QTest::keyClick(window, Qt::Key_F, Qt::ControlModifier);
        auto *findEdit = window->findChild<QLineEdit *>("findEdit");
        QCOMPARE(QApplication::focusWidget(), findEdit);
        QTest::keyClicks(findEdit, "PIER");
        QTRY_COMPARE(count->text(), QStringLiteral("2 of 3 shots"));
        QVERIFY(settle(grid));
        QCOMPARE(grid->model->rowCount(), 2);
        // Both rows picked on their numbers: the form edits them together.
        grid->selectionModel()->select(QItemSelection(grid->model->index(0, 0),
                                                      grid->model->index(1, grid->model->columnCount() - 1)),
                                       QItemSelectionModel::ClearAndSelect);
        QCOMPARE(info->bulkSelection().size(), 2);
        QVERIFY(QFileInfo::exists(saveScreenshot(window, "mainwindow-filtered-selected")));
        grid->setCurrentIndex(grid->model->index(0, 2));
        QVERIFY(info->bulkSelection().isEmpty());
        QTest::keyClick(findEdit, Qt::Key_Escape);
        QTRY_COMPARE(count->text(), QStringLiteral("3 of 3 shots"));
        QVERIFY(settle(grid));
        grid->setCurrentIndex(grid->model->index(0, 2));

        // A refused write shows in the status bar; the next save clears it.
        const QModelIndex scene = grid->model->index(1, grid->model->fieldIndex("scene"));
        QVERIFY(grid->model->setData(scene, QString(300, 'x')));
        QVERIFY(settle(grid));
        QVERIFY2(window->statusBar()->currentMessage().contains("was not saved"),
                 qPrintable(window->statusBar()->currentMessage()));
        QVERIFY(grid->model->setData(scene, "5"));
        QVERIFY(settle(grid));
        QCOMPARE(window->statusBar()->currentMessage(), QString());

        // F5 reads the rows again: another client's change shows.
        QSqlQuery change(TestDb::open("seed"));
        QVERIFY(change.exec("UPDATE shots SET scene = '9' WHERE id = 3"));
        grid->setFocus();
        QTest::keyClick(window, Qt::Key_F5);
        QVERIFY(settle(grid));
        QCOMPARE(grid->model->data(grid->model->index(2, grid->model->fieldIndex("scene"))).toString(),
                 QStringLiteral("9"));
        QCOMPARE(grid->currentIndex(), grid->model->index(0, 2));

        // Alt+F, E exports the shots shown; the status bar counts the rows.
        const QString exported = root.filePath("exported.csv");
        whenModal("QFileDialog", [exported](QWidget *dialog) {
            auto *files = static_cast<QFileDialog *>(dialog);
            // Typed into the name field, as a user would.
            files->findChild<QLineEdit *>("fileNameEdit")->setText(exported);
            static_cast<QDialog *>(files)->accept();
        });
        QTest::keyClick(window, Qt::Key_F, Qt::AltModifier);
        QTRY_VERIFY(QApplication::activePopupWidget());
        QSignalSpy exportSpy(window->findChild<QAction *>("exportAction"), &QAction::triggered);
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_E);
        QTRY_COMPARE(exportSpy.size(), 1);
        QTRY_VERIFY(QFileInfo::exists(exported));
        QTRY_VERIFY2(window->statusBar()->currentMessage().startsWith("Exported: 3 rows written to"),
                     qPrintable(window->statusBar()->currentMessage()));
        QFile csv(exported);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll().count("\r\n"), 4);

        // Ctrl+Return saves the form and moves to the next shot, the cursor
        // in its first field; Ctrl+Shift+Return goes back.
        auto *sceneEdit = info->findChild<QLineEdit *>("sceneEdit");
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        grid->setCurrentIndex(grid->model->index(0, 2));
        sceneEdit->setFocus();
        sceneEdit->end(false);
        QTest::keyClicks(sceneEdit, "b");
        QTest::keyClick(sceneEdit, Qt::Key_Return, Qt::ControlModifier);
        QVERIFY(settle(grid));
        QCOMPARE(grid->currentIndex().row(), 1);
        QCOMPARE(QApplication::focusWidget(), info->findChild<QTextEdit *>("locationEdit"));
        QCOMPARE(sceneEdit->text(), QStringLiteral("5"));
        QSqlQuery logged(TestDb::open("seed"));
        QVERIFY(logged.exec("SELECT scene FROM shots WHERE id = 1") && logged.next());
        QCOMPARE(logged.value(0).toString(), QStringLiteral("4b"));
        QTest::keyClicks(sceneEdit, "c");
        QTest::keyClick(sceneEdit, Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(settle(grid));
        QCOMPARE(grid->currentIndex().row(), 0);
        QCOMPARE(sceneEdit->text(), QStringLiteral("4b"));
        QVERIFY(logged.exec("SELECT scene FROM shots WHERE id = 2") && logged.next());
        QCOMPARE(logged.value(0).toString(), QStringLiteral("5c"));

        // What is still typed in the form is saved when the window closes;
        // the destructor ends the process and saves nothing.
        qApp->setQuitOnLastWindowClosed(false);
        QObject::disconnect(qApp, &QGuiApplication::lastWindowClosed, qApp, nullptr);
        // One the database refuses makes the window ask, once, whether to
        // discard it; Cancel keeps the window and the typed text.
        // (The server holds fewer characters than the field was told.)
        QSqlQuery narrow(TestDb::open("seed"));
        QVERIFY(narrow.exec("ALTER TABLE shots MODIFY takes VARCHAR(5) NULL"));
        auto widen = qScopeGuard([]() {
            QSqlQuery(TestDb::open("seed")).exec("ALTER TABLE shots MODIFY takes VARCHAR(255) NULL");
        });
        auto *takes = info->findChild<QLineEdit *>("takesEdit");
        QTest::keyClicks(takes, QString(6, 't'));
        int questions = 0;
        QString asked;
        auto answer = [&questions, &asked](QMessageBox::StandardButton button) {
            whenModal("QMessageBox", [&questions, &asked, button](QWidget *box) {
                ++questions;
                asked = static_cast<QMessageBox *>(box)->text();
                static_cast<QMessageBox *>(box)->button(button)->click();
            });
        };
        answer(QMessageBox::Cancel);
        QVERIFY(!window->close());
        QCOMPARE(questions, 1);
        QVERIFY2(asked.contains("Takes"), qPrintable(asked));
        QVERIFY(window->isVisible());
        QVERIFY(window->statusBar()->currentMessage().contains("was not saved"));
        QCOMPARE(takes->text(), QStringLiteral("3") + QString(6, 't'));
        // Discard closes; what the database took is saved, the rest dropped.
        auto *shot = info->findChild<QLineEdit *>("shotEdit");
        QTest::keyClicks(shot, "2");
        answer(QMessageBox::Discard);
        QVERIFY(window->close());
        QCOMPARE(questions, 2);
        QSqlQuery check(TestDb::open("seed"));
        QVERIFY(check.exec("SELECT shot, takes FROM shots WHERE id = 1") && check.next());
        QCOMPARE(check.value(0).toString(), QStringLiteral("A2"));
        QCOMPARE(check.value(1).toString(), QStringLiteral("3"));
    }

    // Regression: Redo was bound to Ctrl+Shift+Z and to the platform's
    // Redo, which on X11 is Ctrl+Shift+Z again; the toolkit called it an
    // ambiguous overload and did nothing (offscreen, Redo is another set of
    // keys, so no test saw it). No key sequence of the window may be bound
    // twice on any platform: its standard keys count with every sequence
    // X11 (plain, KDE, GNOME), Windows and macOS give them.
    void noKeyIsBoundTwiceOnAnyPlatform()
    {
        qApp->setQuitOnLastWindowClosed(false);
        MainWindow *window = openMainWindow();
        QVERIFY(settle(window->findChild<GridWidget *>()));
        const auto scheme = [](QPlatformTheme::KeyboardSchemes scheme) { return 1u << scheme; };
        const QList<QPair<QString, uint>> platforms = {
            {"X11", scheme(QPlatformTheme::X11KeyboardScheme)},
            {"KDE", scheme(QPlatformTheme::X11KeyboardScheme) | scheme(QPlatformTheme::KdeKeyboardScheme)},
            {"GNOME", scheme(QPlatformTheme::X11KeyboardScheme) | scheme(QPlatformTheme::GnomeKeyboardScheme)},
            {"Windows", scheme(QPlatformTheme::WindowsKeyboardScheme)},
            {"macOS", scheme(QPlatformTheme::MacKeyboardScheme)},
        };
        auto keysOn = [](QKeySequence::StandardKey key, uint platform) {
            QList<QKeySequence> keys;
            for (uint i = 0; i < QPlatformThemePrivate::numberOfKeyBindings; ++i) {
                const QKeyBinding &binding = QPlatformThemePrivate::keyBindings[i];
                if (binding.standardKey == key && (binding.platform & platform))
                    keys << QKeySequence(binding.shortcut);
            }
            return keys;
        };
        int counted = 0;
        for (const auto &[platform, mask] : platforms) {
            QHash<QString, QStringList> boundTo; // sequence: what it is bound to
            auto bind = [&boundTo, &counted](const QKeySequence &key, const QString &what) {
                if (!key.isEmpty()) {
                    boundTo[key.toString(QKeySequence::PortableText)] << what;
                    ++counted;
                }
            };
            for (QAction *action : window->findChildren<QAction *>()) {
                const QString what = action->objectName().isEmpty() ? action->text() : action->objectName();
                if (action->property("standardKeys").isValid()) {
                    for (const QVariant &key : action->property("standardKeys").toList()) {
                        for (const QKeySequence &sequence : keysOn(QKeySequence::StandardKey(key.toInt()), mask))
                            bind(sequence, what);
                    }
                    for (const QString &key : action->property("ownKeys").toStringList())
                        bind(QKeySequence(key, QKeySequence::PortableText), what);
                } else {
                    for (const QKeySequence &key : action->shortcuts())
                        bind(key, what);
                }
            }
            for (QShortcut *shortcut : window->findChildren<QShortcut *>())
                bind(shortcut->key(), shortcut->objectName());
            // Mnemonics that work anywhere in the window: the menus' and the
            // labelled fields'.
            for (QAction *menu : window->menuBar()->actions())
                bind(QKeySequence::mnemonic(menu->text()), menu->text());
            for (QLabel *label : window->findChildren<QLabel *>()) {
                if (label->buddy())
                    bind(QKeySequence::mnemonic(label->text()), label->text());
            }
            for (QAbstractButton *button : window->findChildren<QAbstractButton *>())
                bind(QKeySequence::mnemonic(button->text()), button->text());
            for (auto it = boundTo.cbegin(); it != boundTo.cend(); ++it)
                QVERIFY2(it.value().size() == 1, qPrintable(QStringLiteral("%1 on %2 is bound to: %3")
                                                                 .arg(it.key(), platform, it.value().join(", "))));
            // Redo works on each: by Ctrl+Shift+Z (Cmd on the Mac).
            QCOMPARE(boundTo.value("Ctrl+Shift+Z"), QStringList({"redoAction"}));
        }
        QVERIFY(counted > 40);
        QVERIFY(window->close());
    }

    void changeProjectSavesPendingEditsAndRebuildsTheView()
    {
        qApp->setQuitOnLastWindowClosed(false);
        MainWindow *window = openMainWindow();
        QVERIFY(window->isVisible());
        auto *grid = window->findChild<GridWidget *>();
        auto *info = window->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid));
        QCOMPARE(grid->model->rowCount(), 3);
        QSqlQuery read(TestDb::open("seed"));
        QVERIFY(read.exec("SELECT related FROM shots WHERE id = 1") && read.next());
        const QString before = read.value(0).toString();
        auto *related = info->findChild<QLineEdit *>("relatedEdit");
        grid->setCurrentIndex(grid->model->index(0, 2));
        related->setFocus();
        related->end(false);
        QTest::keyClicks(related, ", 20");
        bool transcodeOffered = true;
        whenModal("ProjectSelector", [&transcodeOffered](QWidget *chooser) {
            transcodeOffered = chooser->findChild<QAbstractButton *>("transcodeButton")->isEnabled();
            chooser->findChild<QComboBox *>("projectBox")->setCurrentIndex(1);
            chooser->findChild<QAbstractButton *>("editButton")->click();
        });
        window->findChild<QAction *>("changeProjectAction")->trigger();
        QVERIFY(!transcodeOffered);
        QCOMPARE(ClientState::instance()->projectId, 2);
        // The pending edit went to its shot before the view was rebuilt.
        QVERIFY(read.exec("SELECT related FROM shots WHERE id = 1") && read.next());
        QCOMPARE(read.value(0).toString(), before + ", 20");
        auto *newGrid = qobject_cast<GridWidget *>(qobject_cast<QSplitter *>(window->centralWidget())->widget(0));
        QVERIFY(newGrid && newGrid != grid);
        QVERIFY(settle(newGrid));
        QCOMPARE(newGrid->model->rowCount(), 0);
        QCOMPARE(newGrid->model->query().project, 2);
        QCOMPARE(window->findChild<QLabel *>("countLabel")->text(), QStringLiteral("0 of 0 shots"));
        auto *newInfo = qobject_cast<ShotInfoWidget *>(qobject_cast<QSplitter *>(window->centralWidget())->widget(2));
        QVERIFY(newInfo && newInfo != info);
        QVERIFY(!newInfo->findChild<QWidget *>("fieldsArea")->isEnabled());
        QCOMPARE(qobject_cast<QSplitter *>(window->centralWidget())->count(), 3);

        // And back: Refresh and the find field work on the new grid.
        whenModal("ProjectSelector", [](QWidget *chooser) {
            chooser->findChild<QComboBox *>("projectBox")->setCurrentIndex(0);
            chooser->findChild<QAbstractButton *>("editButton")->click();
        });
        window->findChild<QAction *>("changeProjectAction")->trigger();
        auto *third = qobject_cast<GridWidget *>(qobject_cast<QSplitter *>(window->centralWidget())->widget(0));
        QVERIFY(settle(third));
        QCOMPARE(third->model->rowCount(), 3);
        QCOMPARE(window->findChild<QLabel *>("countLabel")->text(), QStringLiteral("3 of 3 shots"));
        QTest::keyClicks(window->findChild<QLineEdit *>("findEdit"), "office");
        QTRY_COMPARE(third->model->rowCount(), 1);
        QVERIFY(window->close());
    }

    // Ctrl+Z in a field that holds typed text takes the typing back first;
    // then it undoes the user's last change, which the History panel lists.
    void undoTakesBackTypingFirstThenTheLastChange()
    {
        qApp->setQuitOnLastWindowClosed(false);
        MainWindow *window = openMainWindow();
        auto *grid = window->findChild<GridWidget *>();
        auto *info = window->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid));
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QSqlQuery read(TestDb::open("seed"));
        auto sceneOfFirst = [&read]() {
            return read.exec("SELECT scene FROM shots WHERE id = 1") && read.next() ? read.value(0).toString()
                                                                                    : QStringLiteral("?");
        };
        const QString original = sceneOfFirst();
        QVERIFY(read.exec("SELECT COUNT(*) FROM shot_changes WHERE shot_id = 1") && read.next());
        const int earlier = read.value(0).toInt();
        grid->setCurrentIndex(grid->model->index(0, grid->model->fieldIndex("scene")));
        QVERIFY(grid->model->setData(grid->model->index(0, grid->model->fieldIndex("scene")), "u1"));
        QVERIFY(settle(grid));
        QCOMPARE(sceneOfFirst(), QStringLiteral("u1"));

        auto *scene = info->findChild<QLineEdit *>("sceneEdit");
        scene->setFocus();
        QTRY_VERIFY(scene->hasFocus());
        scene->end(false);
        QTest::keyClicks(scene, "x");
        QCOMPARE(scene->text(), QStringLiteral("u1x"));
        QTest::keyClick(scene, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(scene->text(), QStringLiteral("u1")); // the field's own undo
        QVERIFY(settle(grid));
        QCOMPARE(sceneOfFirst(), QStringLiteral("u1"));
        QTest::keyClick(scene, Qt::Key_Z, Qt::ControlModifier); // now the change itself
        QVERIFY(settle(grid));
        QCOMPARE(sceneOfFirst(), original);
        QCOMPARE(scene->text(), original);
        QTest::keyClick(scene, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(settle(grid));
        QCOMPARE(sceneOfFirst(), QStringLiteral("u1"));

        // The panel lists the shot's changes, newest first.
        auto *panel = window->findChild<HistoryPanel *>();
        QVERIFY(panel && panel->isVisible());
        QTRY_COMPARE(panel->model()->rowCount(), earlier + 3);
        QCOMPARE(panel->model()->data(panel->model()->index(0, ShotHistoryModel::After)).toString(),
                 QStringLiteral("u1"));
        QCOMPARE(panel->model()->data(panel->model()->index(1, ShotHistoryModel::Field)).toString(),
                 QStringLiteral("Scene (undo)"));
        QVERIFY(QFileInfo::exists(saveScreenshot(window, "history")));
        // Undo This Change: the selected change, as an action of its own.
        panel->view()->selectRow(0);
        QVERIFY(panel->undoButton()->isEnabled());
        panel->undoButton()->click();
        QVERIFY(settle(grid));
        QCOMPARE(sceneOfFirst(), original);
        QTRY_COMPARE(panel->model()->rowCount(), earlier + 4);
        QVERIFY(window->close());
    }

    // A crew day logged from the keyboard: the next shot, the first field,
    // ditto, completion, Delete in a cell, and the form always on the
    // highlighted row (after a sort, Change Project and a restart too).
    void loggingACrewDayFromTheKeyboard()
    {
        qApp->setQuitOnLastWindowClosed(false);
        MainWindow *window = openMainWindow("Crew day");
        auto *grid = window->findChild<GridWidget *>();
        auto *info = window->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid));
        QCOMPARE(grid->model->rowCount(), 25);
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QVERIFY(formShowsTheHighlightedRow(grid, info));
        QCOMPARE(window->findChild<QLabel *>("projectLabel")->text(), QStringLiteral("Project: Crew day"));
        auto *location = info->findChild<QTextEdit *>("locationEdit");
        info->focusFirstField();
        QTRY_VERIFY(location->hasFocus());
        QTest::keyClicks(location, "East pier");
        // Ctrl+Return through 20 shots, with the Ctrl key held throughout.
        for (int step = 1; step <= 20; ++step) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return, Qt::ControlModifier);
            QCOMPARE(grid->currentIndex().row(), step);
            QVERIFY2(formShowsTheHighlightedRow(grid, info), qPrintable(QString::number(step)));
            QCOMPARE(QApplication::focusWidget(), location);
            // Ctrl+D takes the location of the shot above.
            QTest::keyClick(location, Qt::Key_D, Qt::ControlModifier);
            QCOMPARE(location->toPlainText(), QStringLiteral("East pier"));
        }
        QVERIFY(settle(grid));
        QCOMPARE(info->findChild<QLabel *>("filenameLabel")->text(), QStringLiteral("raw/Day/00020.MTS"));
        QSqlQuery read(TestDb::open("seed"));
        QVERIFY(read.exec("SELECT COUNT(*) FROM shots WHERE project = 3 AND location = 'East pier'") && read.next());
        QCOMPARE(read.value(0).toInt(), 20); // the 21st is typed, saved when the user moves on
        grid->model->readCompletions();
        QVERIFY(settle(grid));

        // Completion: any value of the project that holds what is typed.
        location->clear();
        QTest::keyClicks(location, "pie");
        QCompleter *popup = nullptr;
        for (QCompleter *candidate : info->findChildren<QCompleter *>()) {
            if (candidate->widget() == location)
                popup = candidate;
        }
        QVERIFY(popup);
        QTRY_VERIFY(popup->popup()->isVisible());
        QCOMPARE(popup->currentCompletion(), QStringLiteral("East pier"));
        QTest::keyClick(popup->popup(), Qt::Key_Down);
        QTest::keyClick(popup->popup(), Qt::Key_Return);
        QTRY_COMPARE(location->toPlainText(), QStringLiteral("East pier"));

        // Delete in a grid cell empties it, as one save.
        const QModelIndex scene = grid->model->index(3, grid->model->fieldIndex("scene"));
        grid->setFocus();
        grid->selectionModel()->setCurrentIndex(scene, QItemSelectionModel::ClearAndSelect);
        QTest::keyClick(grid, Qt::Key_Delete);
        QVERIFY(settle(grid));
        const qlonglong cleared = grid->model->shotOfRow(3);
        QVERIFY(read.exec(QStringLiteral("SELECT scene FROM shots WHERE id = %1").arg(cleared)) && read.next());
        QVERIFY(read.value(0).isNull());

        // A sort keeps the shot, highlighted and in view.
        grid->selectionModel()->setCurrentIndex(grid->model->index(20, 2), QItemSelectionModel::ClearAndSelect);
        QVERIFY(settle(grid));
        const qlonglong shot = info->currentShot();
        grid->sortByColumn(grid->model->fieldIndex("scene"), Qt::DescendingOrder);
        QVERIFY(settle(grid));
        QCOMPARE(info->currentShot(), shot);
        QVERIFY(formShowsTheHighlightedRow(grid, info));

        // The export: the columns shown, in the grid's order, under their
        // words, marked for spreadsheet programs.
        const QString exported = root.filePath("crew day.csv");
        whenModal("QFileDialog", [exported](QWidget *dialog) {
            QVERIFY(static_cast<QFileDialog *>(dialog)->selectedFiles().value(0).endsWith("Crew day shots.csv"));
            QVERIFY(dialog->findChild<QCheckBox *>("forSpreadsheetsBox")->isChecked());
            QVERIFY(!dialog->findChild<QCheckBox *>("allColumnsBox")->isChecked());
            dialog->findChild<QLineEdit *>("fileNameEdit")->setText(exported);
            static_cast<QDialog *>(dialog)->accept();
        });
        window->findChild<QAction *>("exportAction")->trigger();
        QTRY_VERIFY(window->statusBar()->currentMessage().startsWith("Exported: 25 rows"));
        QFile file(exported);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.read(3) == QByteArray("\xEF\xBB\xBF"));
        QProcess python;
        python.start("python3", {"-c",
                                 "import csv, json, sys\n"
                                 "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
                                 "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
                                 exported});
        QVERIFY(python.waitForFinished(30000));
        QCOMPARE(python.exitCode(), 0);
        const QJsonArray rows = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
        QCOMPARE(rows.size(), 26);
        QStringList header;
        QHeaderView *gridHeader = grid->horizontalHeader();
        for (int visual = 0; visual < gridHeader->count(); ++visual) {
            const int column = gridHeader->logicalIndex(visual);
            if (!grid->isColumnHidden(column) && grid->model->columnName(column) != "poster")
                header << grid->model->headerData(column, Qt::Horizontal).toString();
        }
        QStringList read0;
        for (const QJsonValue &value : rows.at(0).toArray())
            read0 << value.toString();
        QCOMPARE(read0, header);
        QVERIFY(!header.contains("MD5") && header.contains("Location"));

        // Change Project and back, then a restart: the same shot each time.
        whenModal("ProjectSelector", [](QWidget *chooser) {
            auto *box = chooser->findChild<QComboBox *>("projectBox");
            box->setCurrentIndex(box->findText("Test Shoot"));
            chooser->findChild<QAbstractButton *>("editButton")->click();
        });
        window->findChild<QAction *>("changeProjectAction")->trigger();
        whenModal("ProjectSelector", [](QWidget *chooser) {
            auto *box = chooser->findChild<QComboBox *>("projectBox");
            box->setCurrentIndex(box->findText("Crew day"));
            chooser->findChild<QAbstractButton *>("editButton")->click();
        });
        window->findChild<QAction *>("changeProjectAction")->trigger();
        grid = window->findChild<GridWidget *>();
        info = window->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid));
        QCOMPARE(info->currentShot(), shot);
        QVERIFY(formShowsTheHighlightedRow(grid, info));
        QVERIFY(window->close());

        MainWindow *again = openMainWindow("Crew day");
        auto *grid2 = again->findChild<GridWidget *>();
        auto *info2 = again->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid2));
        QCOMPARE(info2->currentShot(), shot);
        QVERIFY(formShowsTheHighlightedRow(grid2, info2));
        QVERIFY(again->close());
    }

    // Take first: with the layout for logging, Tab goes Location, Scene,
    // Shot, Takes, Notes; Alt+2 puts the project's second tag on the shot
    // from within a field, and Ctrl+Z takes it off; the grid finds and
    // sorts by tags; the form's Tab order follows the grid's columns.
    void takeFirstLoggingWithQuickTags()
    {
        qApp->setQuitOnLastWindowClosed(false);
        QSqlQuery read(TestDb::open("seed"));
        QVERIFY(read.exec("DELETE FROM shot_tags") && read.exec("DELETE FROM project_tags"));
        MainWindow *window = openMainWindow("Crew day");
        auto cleanup = qScopeGuard([window]() { window->close(); });
        auto *grid = window->findChild<GridWidget *>();
        auto *info = window->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid));
        grid->useLoggingLayout();
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QTRY_VERIFY(info->tagsView()->isVisible());

        QStringList chain;
        for (QWidget *field : info->tabChain())
            chain << info->columnOf(field);
        QCOMPARE(chain.mid(0, 5), QStringList({"location", "scene", "shot", "takes", "notes"}));
        info->focusFirstField();
        QTRY_COMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("locationEdit"));
        const char *typed[] = {"Quay", "7", "C"};
        for (const char *text : typed) {
            QTest::keyClicks(QApplication::focusWidget(), text);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("takesEdit"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("notesEdit"));

        // Alt+2 while typing a note: "NG" goes on the shot, the note stays typed.
        QTest::keyClicks(QApplication::focusWidget(), "soft");
        const qlonglong shot = info->currentShot();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_2, Qt::AltModifier);
        QVERIFY(settle(grid));
        auto tagsOf = [&read](qlonglong id) {
            QStringList tags;
            if (read.exec(QStringLiteral("SELECT tag FROM shot_tags WHERE shot_id = %1 ORDER BY tag").arg(id)))
                while (read.next())
                    tags << read.value(0).toString();
            return tags;
        };
        QCOMPARE(tagsOf(shot), QStringList{"NG"});
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("notesEdit"));
        QVERIFY(info->fieldHoldsTyping(QApplication::focusWidget()));
        QVERIFY(info->findChild<QToolButton *>("tagButton2")->isChecked());
        const int tagsColumn = grid->model->fieldIndex("tags");
        QVERIFY(tagsColumn >= 0);
        QCOMPARE(grid->model->index(grid->currentIndex().row(), tagsColumn).data().toString(), QStringLiteral("NG"));

        // Ctrl+Z from a field with nothing typed takes the tag off again.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("takesEdit"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(settle(grid));
        QTRY_VERIFY(!grid->model->isBusy() && tagsOf(shot).isEmpty());
        QTRY_VERIFY(!info->findChild<QToolButton *>("tagButton2")->isChecked());

        // Three selected shots: Alt+1 tags them all as one change, and again untags them.
        const int first = grid->currentIndex().row() + 1;
        grid->selectionModel()->select(QItemSelection(grid->model->index(first, 0),
                                                      grid->model->index(first + 2, grid->model->columnCount() - 1)),
                                       QItemSelectionModel::ClearAndSelect);
        QTRY_VERIFY(info->isBulk());
        QTest::keyClick(grid, Qt::Key_1, Qt::AltModifier);
        QVERIFY(settle(grid));
        QList<qlonglong> bulk;
        for (int row = first; row < first + 3; ++row) {
            bulk << grid->model->shotOfRow(row);
            QCOMPARE(tagsOf(bulk.last()), QStringList{"Good"});
        }
        QVERIFY(read.exec("SELECT COUNT(DISTINCT change_set), COUNT(*) FROM shot_changes WHERE column_name = 'tags' "
                          "AND new_value = 'Good'")
                && read.next());
        QCOMPARE(read.value(0).toInt(), 1);
        QCOMPARE(read.value(1).toInt(), 3);

        // The find looks in the tags; a header click sorts by them.
        auto *find = window->findChild<QLineEdit *>("findEdit");
        QVERIFY(find);
        find->setText("good");
        QVERIFY(settle(grid));
        QTRY_COMPARE(grid->model->rowCount(), 3);
        find->clear();
        QVERIFY(settle(grid));
        QTRY_COMPARE(grid->model->rowCount(), 25);
        grid->sortByColumn(tagsColumn, Qt::DescendingOrder);
        QVERIFY(settle(grid));
        QCOMPARE(QSet<qlonglong>({grid->model->shotOfRow(0), grid->model->shotOfRow(1), grid->model->shotOfRow(2)}),
                 QSet<qlonglong>(bulk.cbegin(), bulk.cend()));
        grid->sortByColumn(grid->model->fieldIndex("id"), Qt::AscendingOrder);
        QVERIFY(settle(grid));

        // Shots > Tags...: a comma is refused with its reason; renamed and
        // reordered, the list is the project's and Alt+1 follows it.
        whenModal("TagsDialog", [](QWidget *dialog) {
            auto *list = dialog->findChild<QListWidget *>("tagList");
            auto *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            list->item(2)->setText("Print, maybe");
            QVERIFY(!ok->isEnabled());
            QVERIFY(dialog->findChild<QLabel *>("tagProblem")->text().contains("comma"));
            list->item(2)->setText("Hero");
            list->setCurrentRow(2);
            dialog->findChild<QPushButton *>("tagUpButton")->click();
            dialog->findChild<QPushButton *>("tagUpButton")->click();
            QVERIFY(ok->isEnabled());
            ok->click();
        });
        window->findChild<QAction *>("tagsAction")->trigger();
        QTRY_COMPARE(grid->model->projectTags(),
                     QStringList({"Hero", "Good", "NG", "Check focus", "Check sound"}));
        QVERIFY(read.exec("SELECT GROUP_CONCAT(tag ORDER BY position) FROM project_tags WHERE project_id = 3")
                && read.next());
        QCOMPARE(read.value(0).toString(), QStringLiteral("Hero,Good,NG,Check focus,Check sound"));
        QCOMPARE(window->findChild<QAction *>("tagAction1")->text(), QStringLiteral("&1 Hero"));
        QCOMPARE(info->findChild<QToolButton *>("tagButton1")->text(), QStringLiteral("1 Hero"));

        // The form follows the grid's columns: Takes moved before Scene, Shot hidden.
        QHeaderView *header = grid->horizontalHeader();
        header->moveSection(header->visualIndex(grid->model->fieldIndex("takes")),
                            header->visualIndex(grid->model->fieldIndex("scene")));
        grid->hideColumn(grid->model->fieldIndex("shot"));
        QTRY_VERIFY(info->tabChain().size() >= 4
                    && info->columnOf(info->tabChain().at(1)) == QLatin1String("takes"));
        chain.clear();
        for (QWidget *field : info->tabChain())
            chain << info->columnOf(field);
        QCOMPARE(chain.mid(0, 4), QStringList({"location", "takes", "scene", "notes"}));
        QVERIFY(!chain.contains("shot"));
        grid->showColumn(grid->model->fieldIndex("shot"));
        grid->useLoggingLayout();
        saveScreenshot(window, "take first logging");
    }

    // Without the tables of tags, everything works as before and Alt+1 says
    // how to turn them on.
    void quickTagsAreOffWithoutTheirTables()
    {
        qApp->setQuitOnLastWindowClosed(false);
        QSqlQuery sql(TestDb::open("seed"));
        QVERIFY(sql.exec("DROP TABLE shot_tags") && sql.exec("DROP TABLE project_tags"));
        auto restore = qScopeGuard([&sql]() {
            sql.exec(QString::fromLatin1(Sql::createShotTags));
            sql.exec(QString::fromLatin1(Sql::createProjectTags));
        });
        MainWindow *window = openMainWindow("Crew day");
        auto cleanup = qScopeGuard([window]() { window->close(); });
        auto *grid = window->findChild<GridWidget *>();
        auto *info = window->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid));
        QCOMPARE(grid->model->rowCount(), 25);
        QCOMPARE(grid->model->fieldIndex("tags"), -1);
        QVERIFY(!info->tagsView()->isVisible());
        QVERIFY(!window->findChild<QAction *>("tagsAction")->isEnabled());
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        info->focusFirstField();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_1, Qt::AltModifier);
        QVERIFY2(window->statusBar()->currentMessage().contains("tavelo-sync --setup-database"),
                 qPrintable(window->statusBar()->currentMessage()));
        auto *find = window->findChild<QLineEdit *>("findEdit");
        find->setText("00003");
        QVERIFY(settle(grid));
        QTRY_COMPARE(grid->model->rowCount(), 1);
    }

    void theLayoutIsKeptForTheNextWindow()
    {
        qApp->setQuitOnLastWindowClosed(false);
        MainWindow *window = openMainWindow();
        QVERIFY(window->isVisible());
        auto *grid = window->findChild<GridWidget *>();
        auto *splitter = qobject_cast<QSplitter *>(window->centralWidget());
        QVERIFY(settle(grid));
        QHeaderView *header = grid->horizontalHeader();
        const int takes = grid->model->fieldIndex("takes");
        const int notes = grid->model->fieldIndex("notes");
        const int scene = grid->model->fieldIndex("scene");
        QVERIFY(grid->model->headerData(notes, Qt::Horizontal, Qt::ToolTipRole).toString().size() > 0);

        window->resize(1111, 777);
        splitter->setSizes({500, 4, 200});
        const QList<int> sizes = splitter->sizes();
        // Hidden from the header's menu.
        QTimer::singleShot(0, []() {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QVERIFY(menu);
            for (QAction *action : menu->actions()) {
                if (action->text() == "Takes")
                    action->trigger();
            }
            menu->close();
        });
        emit header->customContextMenuRequested(QPoint(5, 5));
        QVERIFY(grid->isColumnHidden(takes));
        header->moveSection(header->visualIndex(notes), 2);
        header->resizeSection(scene, 123);
        grid->sortByColumn(scene, Qt::DescendingOrder);
        QVERIFY(settle(grid));
        QVERIFY(window->close());

        MainWindow *again = openMainWindow();
        auto *grid2 = again->findChild<GridWidget *>();
        QVERIFY(settle(grid2));
        auto *splitter2 = qobject_cast<QSplitter *>(again->centralWidget());
        QCOMPARE(again->size(), QSize(1111, 777));
        QCOMPARE(splitter2->sizes(), sizes);
        QVERIFY(grid2->isColumnHidden(takes));
        QVERIFY(grid2->isColumnHidden(1));
        QCOMPARE(grid2->horizontalHeader()->visualIndex(notes), 2);
        QCOMPARE(grid2->horizontalHeader()->sectionSize(scene), 123);
        QCOMPARE(grid2->horizontalHeader()->sortIndicatorSection(), scene);
        QCOMPARE(grid2->model->data(grid2->model->index(0, scene)).toString(), QStringLiteral("9"));
        QVERIFY(again->close());
    }

    // The status bar names the shot and the fields of each undo and redo.
    // An undo of a shot out of view (scrolled away, or hidden by the find)
    // shows the shot first, as the current one, and asks once.
    void undoNamesItsShotAndShowsAShotOutOfViewFirst_data()
    {
        QTest::addColumn<bool>("byFind");
        QTest::newRow("scrolled away") << false;
        QTest::newRow("hidden by the find") << true;
    }

    void undoNamesItsShotAndShowsAShotOutOfViewFirst()
    {
        QFETCH(bool, byFind);
        qApp->setQuitOnLastWindowClosed(false);
        MainWindow *window = openMainWindow("Crew day");
        auto *grid = window->findChild<GridWidget *>();
        auto *info = window->findChild<ShotInfoWidget *>();
        QVERIFY(settle(grid));
        QVERIFY(grid->model->rowCount() > 20);
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        // Questions are answered as the user would: Undo (or Redo).
        QStringList asked;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&asked]() {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            asked << box->text() + ' ' + box->informativeText();
            saveScreenshot(box, "undoquestion");
            for (QAbstractButton *button : box->buttons()) {
                if (box->buttonRole(button) == QMessageBox::AcceptRole)
                    button->click();
            }
        });
        answer.start(20);
        auto inView = [grid](int row) {
            const int top = grid->rowViewportPosition(row);
            return top + grid->rowHeight(row) > 0 && top < grid->viewport()->height();
        };
        auto message = [window]() { return window->statusBar()->currentMessage(); };
        QAction *undo = window->findChild<QAction *>("undoAction");
        QAction *redo = window->findChild<QAction *>("redoAction");

        // Scene and shot of the first row, typed in the form, saved by Return.
        window->resize(800, 500); // fewer rows than the project's in view
        grid->setCurrentIndex(grid->model->index(0, grid->model->fieldIndex("scene")));
        const qlonglong shot = info->currentShot();
        const QString file = grid->model->storedValue(0, grid->model->fieldIndex("filename")).toString();
        const QString before = grid->model->storedValue(0, grid->model->fieldIndex("scene")).toString();
        for (const char *name : {"sceneEdit", "shotEdit"}) {
            auto *field = info->findChild<QLineEdit *>(name);
            field->setFocus();
            QTRY_VERIFY(field->hasFocus());
            field->selectAll();
            QTest::keyClicks(field, "u7");
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(settle(grid));
        const QString words = QStringLiteral("Scene, Shot of shot %1, %2").arg(shot).arg(file);

        // In view: no question.
        undo->trigger();
        QVERIFY(settle(grid));
        QCOMPARE(message(), "Undone: " + words);
        redo->trigger();
        QVERIFY(settle(grid));
        QCOMPARE(message(), "Redone: " + words);
        QCOMPARE(asked, QStringList());

        // Out of view: another shot far below is current, or the find hides the shot.
        const int last = grid->model->rowCount() - 1;
        grid->setCurrentIndex(grid->model->index(last, grid->model->fieldIndex("scene")));
        grid->scrollTo(grid->currentIndex());
        QVERIFY(settle(grid));
        QVERIFY(!inView(0));
        auto *find = window->findChild<QLineEdit *>("findEdit");
        if (byFind) {
            QTest::keyClicks(find, grid->model->storedValue(last, grid->model->fieldIndex("filename")).toString());
            QTRY_COMPARE(grid->model->rowCount(), 1);
            QVERIFY(settle(grid));
        }
        undo->trigger();
        QTRY_COMPARE(asked.size(), 1);
        QVERIFY2(asked.first().startsWith("Undo " + words + "?"), qPrintable(asked.first()));
        QVERIFY(settle(grid));
        QCOMPARE(info->currentShot(), shot);
        const int row = grid->model->rowOfId(shot);
        QVERIFY(inView(row));
        QCOMPARE(find->text(), QString());
        QCOMPARE(message(), "Undone: " + words);
        QCOMPARE(grid->model->storedValue(row, grid->model->fieldIndex("scene")).toString(), before);
        QCOMPARE(asked.size(), 1); // once for the undo, not per field
        QVERIFY(window->close());
    }

    // Regression: every filename read "raw/Day1/CardA..." with the clip's
    // number cut off, and Recorded lost its minutes: the layout for logging
    // cut each column to a third of the grid's width, measured before the
    // window was laid out. The layout now fits a 1920-pixel screen beside
    // the History panel, Notes taking what remains, with the paths' file
    // names and the media facts whole; the panel shows all its columns.
    void theLoggingLayoutFitsAFullHdScreenBesideTheHistory()
    {
        qApp->setQuitOnLastWindowClosed(false);
        QSettings(ConnectionKeys::organisation, ConnectionKeys::application).remove("Layout");
        // A day of a crew's logging: long paths, places and notes, the
        // camera's facts, one clip that could not be read.
        QSqlDatabase seed = TestDb::open("seed");
        QSqlQuery query(seed);
        QVERIFY(query.exec("SELECT id FROM projects WHERE name = 'Test Shoot'") && query.next());
        const int project = query.value(0).toInt();
        QStringList shots;
        QStringList facts;
        for (int i = 0; i < 40; ++i) {
            const QString md5 = QStringLiteral("%1").arg(i + 1000, 32, 10, QLatin1Char('e'));
            shots << QStringLiteral("(%1, 'raw/Day1/Card%2/PRIVATE/AVCHD/BDMV/STREAM/%3.MTS', '%4', '%5', "
                                    "'Harbour office, second floor, by the window', '%6', 'B', '%7', "
                                    "'Over the shoulder, slowly pushing in', '1017, 1018, 1022', 'D-%6-114', "
                                    "'The interview; take two is the best, the light changes after it.', 85, "
                                    "'12.5', 1)")
                         .arg(project)
                         .arg(QChar('A' + i % 3))
                         .arg(i, 5, 10, QLatin1Char('0'))
                         .arg(md5, QString(40, 'e'))
                         .arg(100 + i)
                         .arg(i % 9 + 1);
            facts << (i == 7 ? QStringLiteral("('%1', '%2', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
                                              "'the clip ends before its first picture')")
                             : QStringLiteral("('%1', '%2', 125340, 1920, 1080, '30000/1001', 'interlaced', "
                                              "'2024-03-17 14:05:09', -300, '01:00:00:00', NULL)"))
                         .arg(md5, QString(40, 'e'));
        }
        QVERIFY2(query.exec("INSERT INTO shots (project, filename, MD5, SHA1, location, scene, shot, takes, "
                            "shottype, related, descid, notes, quality, duration, prod) VALUES "
                            + shots.join(',')),
                 qPrintable(query.lastError().text()));
        QVERIFY2(query.exec("INSERT INTO shot_media (MD5, SHA1, duration_ms, width, height, frame_rate, scan, "
                            "recorded_at, recorded_utc_offset, start_timecode, problem) VALUES "
                            + facts.join(',')),
                 qPrintable(query.lastError().text()));
        auto removeThem = qScopeGuard([project]() {
            QSqlQuery remove(TestDb::open("seed"));
            remove.exec(QStringLiteral("DELETE FROM shot_media WHERE SHA1 = '%1'").arg(QString(40, 'e')));
            remove.exec(QStringLiteral("DELETE FROM shots WHERE project = %1").arg(project));
        });

        MainWindow *window = openMainWindow("Test Shoot");
        auto *grid = window->findChild<GridWidget *>();
        QVERIFY(settle(grid));
        QVERIFY(grid->model->hasMedia());
        QCOMPARE(grid->model->rowCount(), 40);
        window->resize(1920, 1040);
        auto *dock = window->findChild<QDockWidget *>("historyDock");
        QVERIFY(dock);
        QTRY_VERIFY(dock->isVisible());
        QTRY_COMPARE(window->width(), 1920);
        QTest::qWait(0);

        // The grid: no column cut off at the right, Notes taking what
        // remains, a few words' worth at least.
        QHeaderView *header = grid->horizontalHeader();
        const int notes = grid->model->fieldIndex("notes");
        QCOMPARE(header->logicalIndex(header->count() - 1), notes);
        QTRY_VERIFY2(header->length() <= grid->viewport()->width(),
                     qPrintable(QStringLiteral("%1 > %2").arg(header->length()).arg(grid->viewport()->width())));
        QVERIFY2(header->sectionSize(notes) >= 12 * grid->fontMetrics().averageCharWidth(),
                 qPrintable(QString::number(header->sectionSize(notes))));
        QVERIFY(!grid->horizontalScrollBar()->isVisible());
        for (int row = 0; row < grid->model->rowCount(); ++row) {
            auto cell = [grid, row](const char *column) {
                return grid->model->index(row, grid->model->fieldIndex(QLatin1String(column)));
            };
            const QString path = grid->model->data(cell("filename")).toString();
            const QString shown = grid->cellText(cell("filename"));
            QVERIFY2(shown.startsWith(path.section('/', 0, 1) + QStringLiteral("/\u2026/"))
                         && shown.endsWith(QLatin1Char('/') + path.section('/', -1)),
                     qPrintable(shown));
            for (const char *column : {"recorded", "tc_in", "length"})
                QCOMPARE(grid->cellText(cell(column)), grid->model->data(cell(column)).toString());
        }
        QCOMPARE(grid->cellText(grid->model->index(0, grid->model->fieldIndex("recorded"))),
                 QStringLiteral("2024-03-17 14:05:09 -05:00"));

        // The History panel: a change of the shot shown, every column of it
        // in view.
        grid->setCurrentIndex(grid->model->index(0, grid->model->fieldIndex("scene")));
        QVERIFY(grid->model->setData(grid->model->index(0, grid->model->fieldIndex("location")),
                                     QStringLiteral("Harbour office, second floor, by the window, facing the pier")));
        QVERIFY(settle(grid));
        auto *history = window->findChild<QTableView *>("historyView");
        QTRY_VERIFY(history->model()->rowCount() > 0);
        QHeaderView *columns = history->horizontalHeader();
        QTRY_VERIFY2(columns->length() <= history->viewport()->width(),
                     qPrintable(QStringLiteral("%1 > %2").arg(columns->length()).arg(history->viewport()->width())));
        for (int column = 0; column < columns->count(); ++column)
            QVERIFY2(columns->sectionSize(column) >= 4 * history->fontMetrics().averageCharWidth(),
                     qPrintable(QString::number(column)));
        QVERIFY(QFileInfo::exists(saveScreenshot(window, "mainwindow-logging-1920")));
        QVERIFY(window->close());
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
