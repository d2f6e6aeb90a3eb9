// The yardstick for the whole-program figures: the least a Qt widgets
// program of the same size does. An empty 600x400 main window, shown, and the
// event loop. It prints "ready" once the event loop runs, so that a driver can
// time its start-up.
//
// With --label the window shows one line of text. An empty window never draws
// text, so Qt loads its font configuration only while it tears down, after
// the close request; a window with text (like Tavrel's) pays that at
// start-up instead. The labelled variant keeps close-to-exit comparisons fair.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Minimal"));
    window.resize(600, 400);
    if (argc > 1 && std::strcmp(argv[1], "--label") == 0)
        window.setCentralWidget(new QLabel(QStringLiteral("Minimal")));
    window.show();
    QTimer::singleShot(0, [] {
        std::puts("ready");
        std::fflush(stdout);
    });
    return app.exec();
}
