#include "tavrel.h"

#include <QApplication>

// No options of our own: argc/argv only carry Qt's standard ones.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Tavrel w;
    w.show();
    return app.exec();
}
