#include "app/mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The desktop matches the windows to the installed desktop entry by this
    // name, and shows its icon and name for them. The settings store and the
    // frame cache do not depend on it.
    QGuiApplication::setDesktopFileName(QStringLiteral(TAVELO_DESKTOP_ID));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(TAVELO_DESKTOP_ID),
                                                 QIcon(QStringLiteral(":/icons/" TAVELO_DESKTOP_ID ".png"))));
    app.setStyleSheet("QSplitter::handle { background-color: gray }");

    MainWindow window;
    // A dialog rejected without opening a transcode window leaves nothing on
    // screen; the event loop would then wait for a window that never closes.
    if (anyTopLevelWindowVisible())
        app.exec();
    return 0; // the main window's destructor ends the process with status 0
}
