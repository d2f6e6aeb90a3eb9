// The main window: what typing lets stand in its fields, and its two actions as the bus sees
// them. (Its shutdown, worker first, is checked end to end: e2e_tavrel.sh.)
#include "tavrel.h"

#include "fttask.h"
#include "simtest.h"

#include <QtTest>

class TstTavrel : public QObject
{
    Q_OBJECT

private slots:
    // A locale with a group separator, as an operator's may have.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void init() { simtest::begin(); } // no window, so no worker, is alive between tests
    void cleanup() { simtest::end(); }

    // The form: object names, classes and fixed places of the central widget's children, the
    // window's size, bars and texts (as code points: the value caption has two ASCII spaces).
    void form()
    {
        Tavrel w;
        QStringList children;
        for (const QWidget *c : w.centralWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
            QDebug(&(children << QString()).last()).noquote().nospace()
                << c->objectName() << ' ' << c->metaObject()->className() << ' ' << c->geometry();
        QCOMPARE(children, QStringList({"lineEdit QLineEdit QRect(130,40 113x21)", "label QLabel QRect(30,40 72x21)",
                                        "label_2 QLabel QRect(30,100 72x21)", "lineEdit_2 QLineEdit QRect(130,100 113x21)",
                                        "pushButton QPushButton QRect(330,96 93x28)", "line QFrame QRect(0,150 591x16)",
                                        "pushButton_2 QPushButton QRect(330,210 93x28)"}));
        QCOMPARE(QStringList({w.objectName(), w.centralWidget()->objectName(), w.menuBar()->objectName(),
                              w.statusBar()->objectName()}),
                 QStringList({"TavrelClass", "centralWidget", "menuBar", "statusBar"}));
        QCOMPARE(w.size(), QSize(600, 400));
        QCOMPARE(w.toolBarArea(w.findChild<QToolBar *>("mainToolBar")), Qt::TopToolBarArea);
        QCOMPARE(w.findChild<QFrame *>("line")->frameStyle(), QFrame::HLine | QFrame::Sunken);
        QStringList texts = {w.windowTitle()};
        for (const char *name : {"label", "label_2", "pushButton", "pushButton_2"})
            texts << w.findChild<QWidget *>(name)->property("text").toString();
        QCOMPARE(texts, QStringList({"Tavrel", QStringLiteral(u"\u5e8f\u53f7\uff1a"), QStringLiteral(u"\u503c  \uff1a"),
                                     QStringLiteral(u"\u5199\u5165"), QStringLiteral(u"\u6e05\u5c4f")}));
    }

    void actions_data()
    {
        QTest::addColumn<QStringList>("keys"); // typed into the index and value fields; the validators act
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("position"); // where the byte goes; -1: none
        QTest::addColumn<int>("byte");
        QTest::addColumn<bool>("sends");
        const QString write = "pushButton", clear = "pushButton_2";
        QTest::newRow("05 1234: leading zero, low byte") << QStringList{"05", "1234"} << write << 5 << 0x34 << true;
        QTest::newRow("29 FFFF: last position") << QStringList{"29", "FFFF"} << write << 29 << 0xFF << true;
        QTest::newRow("30: image unchanged, still sent") << QStringList{"30", "77"} << write << -1 << 0 << true;
        QTest::newRow("+: refused, nothing") << QStringList{"+", "1"} << write << -1 << 0 << false;
        QTest::newRow("2, 12345: separator, fifth digit refused") << QStringList{"2,", "12345"} << write << 2 << 0x34 << true;
        QTest::newRow("1,5 0x1g: separator inside, x and g refused") << QStringList{"1,5", "0x1g"} << write << 15 << 0x01 << true;
        QTest::newRow("index empty: nothing") << QStringList{"", "ff"} << write << -1 << 0 << false;
        QTest::newRow("value empty: nothing") << QStringList{"7", ""} << write << -1 << 0 << false;
        QTest::newRow("clear, fields filled") << QStringList{"12", "beef"} << clear << -1 << 0 << true;
    }

    void actions()
    {
        QFETCH(QStringList, keys);
        QFETCH(QString, button);
        QFETCH(int, position);
        QFETCH(int, byte);
        QFETCH(bool, sends);
        Tavrel w;
        w.show();
        // Connected and past the register reset's frame: every later frame answers the test.
        QVERIFY(QTest::qWaitForWindowExposed(&w) && QTest::qWaitFor([] { return sim::framesShown() >= 1; }, simtest::timeoutMs));
        QByteArray expected, image; // bytes unlike any written, so a write anywhere shows; no send pending
        for (int i = 0; i < FtTask::ImageSize; ++i) {
            w.worker()->setData(i, quint8(0xA0 + i));
            expected += char(button == QLatin1String("pushButton_2") ? 0 : i == position ? byte : 0xA0 + i);
        }
        QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit"), keys[0]);
        QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit_2"), keys[1]);

        const int framesBefore = sim::framesShown();
        QTest::mouseClick(w.findChild<QPushButton *>(button), Qt::LeftButton);
        const uint64_t afterClickUs = sim::nowUs(); // the request, if any, is raised by now
        for (int i = 0; i < FtTask::ImageSize; ++i)
            image += char(w.worker()->data(i));
        QCOMPARE(image.toHex(' '), expected.toHex(' '));
        // Any request the click raised is served, frame and all, before the second cycle (a write
        // to address 4, the indicator) since.
        const auto cyclesSinceClick = [afterClickUs] {
            const std::vector<sim::BusCycle> cycles = sim::busCycles();
            return std::count_if(cycles.begin(), cycles.end(),
                                 [&](const sim::BusCycle &c) { return c.write && c.address == 4 && c.timeUs >= afterClickUs; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(cyclesSinceClick() >= 2, simtest::timeoutMs);
        QCOMPARE(sim::framesShown() - framesBefore, sends ? 1 : 0);
        if (sends)
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(sim::shownFrame().data()), FtTask::ImageSize).toHex(' '),
                     expected.toHex(' '));
    }
};

QTEST_MAIN(TstTavrel)
#include "tst_tavrel.moc"
