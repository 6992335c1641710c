// A generic Qt plug-in that drives the real client in tests, so the paths
// that end the process can run in a child process of the test with no hook
// in the client itself. The test starts the client with
//   QT_PLUGIN_PATH=<folder holding generic/>  QT_QPA_GENERIC_PLUGINS=tavelo_driver
//   TAVELO_DRIVE="Class:action;Class:action;..."
// Each step waits for a visible window of that class (the active modal one
// when a modal window is open) and then acts on it:
//   click:NAME   clicks the button with that object name
//   trigger:NAME triggers the window's action with that object name
//   accept, reject, close
//   grab:PATH    saves a picture of the window
//   waitfile:PATH  waits until that file exists (an encoder has started)
//   resize:WxH   resizes the window
//   size         reports "driver: size WxH" of the window
// Every window that is shown is reported on standard error as
// "driver: shown CLASS title=TITLE", every step as "driver: step N done";
// before the first window, "driver: desktop file name=NAME window icon=set"
// (or "none").

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QGenericPlugin>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

class Driver : public QObject
{
public:
    Driver()
    {
        const QString script = qEnvironmentVariable("TAVELO_DRIVE");
        steps = script.split(QLatin1Char(';'), Qt::SkipEmptyParts);
        qApp->installEventFilter(this);
        clock.start();
        connect(&timer, &QTimer::timeout, this, &Driver::poll);
        timer.start(30);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            auto *widget = static_cast<QWidget *>(watched);
            if (widget->isWindow() && !identityReported) {
                identityReported = true;
                report(QStringLiteral("desktop file name=%1 window icon=%2")
                           .arg(QGuiApplication::desktopFileName(),
                                QGuiApplication::windowIcon().isNull() ? "none" : "set"));
            }
            if (widget->isWindow())
                report(QStringLiteral("shown %1 title=%2")
                           .arg(QString::fromLatin1(widget->metaObject()->className()), widget->windowTitle()));
        }
        return false;
    }

private:
    static void report(const QString &line)
    {
        std::fprintf(stderr, "driver: %s\n", qPrintable(line));
        std::fflush(stderr);
    }

    QWidget *findWindow(const QString &className) const
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal)
            return modal->inherits(className.toLatin1().constData()) ? modal : nullptr;
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            if (window->isVisible() && window->inherits(className.toLatin1().constData()))
                return window;
        }
        return nullptr;
    }

    void poll()
    {
        if (next >= steps.size()) {
            timer.stop();
            return;
        }
        if (clock.elapsed() > 30000) {
            report(QStringLiteral("step %1 (%2) timed out").arg(next).arg(steps.at(next)));
            std::_Exit(97);
        }
        const QString step = steps.at(next);
        const QString className = step.section(QLatin1Char(':'), 0, 0);
        const QString action = step.section(QLatin1Char(':'), 1, 1);
        const QString argument = step.section(QLatin1Char(':'), 2);
        QWidget *window = findWindow(className);
        if (!window)
            return;
        if (action == QLatin1String("waitfile") && !QFileInfo::exists(argument))
            return;
        ++next;
        clock.restart();
        // Act from a fresh event-loop turn, never inside the window's own
        // show handling.
        QTimer::singleShot(0, window, [window, action, argument, n = next]() {
            if (action == QLatin1String("click")) {
                auto *button = window->findChild<QAbstractButton *>(argument);
                if (!button) {
                    report(QStringLiteral("no button %1").arg(argument));
                    std::_Exit(98);
                }
                button->click();
            } else if (action == QLatin1String("trigger")) {
                auto *menuAction = window->findChild<QAction *>(argument);
                if (!menuAction) {
                    report(QStringLiteral("no action %1").arg(argument));
                    std::_Exit(98);
                }
                menuAction->trigger();
            } else if (action == QLatin1String("accept") || action == QLatin1String("reject")) {
                auto *dialog = qobject_cast<QDialog *>(window);
                if (dialog && action == QLatin1String("accept"))
                    dialog->accept();
                else if (dialog)
                    dialog->reject();
            } else if (action == QLatin1String("close")) {
                window->close();
            } else if (action == QLatin1String("grab")) {
                window->grab().save(argument);
            } else if (action == QLatin1String("resize")) {
                window->resize(argument.section(QLatin1Char('x'), 0, 0).toInt(),
                               argument.section(QLatin1Char('x'), 1, 1).toInt());
            } else if (action == QLatin1String("size")) {
                report(QStringLiteral("size %1x%2").arg(window->width()).arg(window->height()));
            }
            report(QStringLiteral("step %1 done").arg(n));
        });
    }

    QStringList steps;
    bool identityReported = false;
    int next = 0;
    QTimer timer;
    QElapsedTimer clock;
};

} // namespace

class DriverPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver.json")

public:
    QObject *create(const QString &, const QString &) override { return new Driver; }
};

#include "driverplugin.moc"
