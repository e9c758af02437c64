#include "app/Config.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Quillo"_s);
    QApplication::setApplicationVersion(Config::applicationVersion());
    QApplication::setQuitOnLastWindowClosed(false);

    QMainWindow window;
    window.setWindowTitle(u"Quillo"_s);
    auto *label = new QLabel(u"Quillo"_s, &window);
    label->setAlignment(Qt::AlignCenter);
    window.setCentralWidget(label);
    window.resize(640, 480);
    window.show();
    QObject::connect(&window, &QObject::destroyed, &app, &QApplication::quit);
    return app.exec();
}
