#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setStyleSheet("QSplitter::handle { background-color: gray }");

    MainWindow window;
    // A dialog rejected without opening a transcode window leaves nothing on
    // screen; the event loop would then wait for a window that never closes.
    if (anyTopLevelWindowVisible())
        app.exec();
    return 0; // the main window's destructor ends the process with status 0
}
