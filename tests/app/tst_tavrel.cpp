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
    void init() { simtest::begin(); }
    void cleanup() { simtest::end(); }

    // The window as shown: title, size, bars; each part inside the central area, none over another,
    // and where it is against the others.
    void window()
    {
        Tavrel w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(QString("%1 %2x%3").arg(w.windowTitle()).arg(w.width()).arg(w.height()), "Tavrel 600x400");
        QVERIFY(w.menuBar()->y() == 0 && w.statusBar()->geometry().bottom() == w.height() - 1);
        QMultiMap<QString, QRect> parts; // by text, or kind where there is none
        for (QWidget *c : w.centralWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            const QRect r(c->mapTo(&w, QPoint()), c->size());
            QString part = c->property("text").toString();
            part = part.isEmpty() ? c->metaObject()->className() : part;
            QVERIFY2(c->isVisible() && w.centralWidget()->geometry().contains(r), qPrintable(part));
            for (const QRect &other : qAsConst(parts))
                QVERIFY2(!other.intersects(r), qPrintable(part));
            parts.insert(part, r);
        }
        const QString index = u8"序号：", value = u8"值  ：";
        QCOMPARE(parts.keys(), QStringList({"QFrame", "QLineEdit", "QLineEdit", value, u8"写入", index, u8"清屏"}));
        const QRect write = parts.value(u8"写入"), clear = parts.value(u8"清屏"), line = parts.value("QFrame");
        QList<QRect> fields = parts.values("QLineEdit");
        std::sort(fields.begin(), fields.end(), [](const QRect &a, const QRect &b) { return a.y() < b.y(); });
        const auto rowOf = [](const QRect &a, const QRect &b) { return qAbs(a.center().y() - b.center().y()) <= 2; };
        QVERIFY(rowOf(parts.value(index), fields[0]) && parts.value(index).right() < fields[0].left());
        QVERIFY(rowOf(parts.value(value), fields[1]) && parts.value(value).right() < fields[1].left());
        QVERIFY(fields[0].bottom() < fields[1].top() && rowOf(write, fields[1]) && fields[1].right() < write.left());
        QVERIFY(fields[1].bottom() < line.top() && line.bottom() < clear.top() && line.width() > w.width() / 2);
        QCOMPARE(clear.left(), write.left());
    }

    void actions_data()
    {
        QTest::addColumn<QStringList>("keys"); // typed into the two fields; the validators act
        QTest::addColumn<int>("position"); // where the byte goes; -1: nowhere; 30: "清屏"
        QTest::addColumn<int>("byte");
        QTest::addColumn<bool>("sends");
        QTest::newRow("05 1234: leading zero, low byte") << QStringList{"05", "1234"} << 5 << 0x34 << true;
        QTest::newRow("29 FFFF: last position") << QStringList{"29", "FFFF"} << 29 << 0xFF << true;
        QTest::newRow("30: image unchanged, still sent") << QStringList{"30", "77"} << -1 << 0 << true;
        QTest::newRow("+: refused, nothing") << QStringList{"+", "1"} << -1 << 0 << false;
        QTest::newRow("2, 12345: separator, fifth digit refused") << QStringList{"2,", "12345"} << 2 << 0x34 << true;
        QTest::newRow("1,5 0x1g: separator inside, x and g refused") << QStringList{"1,5", "0x1g"} << 15 << 1 << true;
        QTest::newRow("index empty: nothing") << QStringList{"", "ff"} << -1 << 0 << false;
        QTest::newRow("value empty: nothing") << QStringList{"7", ""} << -1 << 0 << false;
        QTest::newRow("clear, fields filled") << QStringList{"12", "beef"} << 30 << 0 << true;
    }

    void actions()
    {
        QFETCH(QStringList, keys);
        QFETCH(int, position);
        QFETCH(int, byte);
        QFETCH(bool, sends);
        Tavrel w;
        w.show();
        // Past the register reset's frame: every later frame answers the test.
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(QTest::qWaitFor([] { return sim::framesShown() >= 1; }, simtest::timeoutMs));
        QByteArray expected, image; // unlike any byte typed; no send pending
        for (int i = 0; i < 30; ++i)
            w.worker()->setData(i, quint8(0xA0 + i)), expected += char(position == i ? byte : 0xA0 + i);
        expected = position == 30 ? QByteArray(30, 0) : expected;
        QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit"), keys[0]);
        QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit_2"), keys[1]);
        const int framesBefore = sim::framesShown();
        QTest::mouseClick(w.findChild<QPushButton *>(position == 30 ? "pushButton_2" : "pushButton"), Qt::LeftButton);
        for (int i = 0; i < 30; ++i)
            image += char(w.worker()->data(i));
        QCOMPARE(image.toHex(' '), expected.toHex(' '));
        // A request the click raised is served before the second cycle since.
        QVERIFY(simtest::cyclesPass(2));
        QCOMPARE(sim::framesShown() - framesBefore, sends ? 1 : 0);
        const auto shown = sim::shownFrame();
        const QByteArray frame((const char *)shown.data(), 30);
        QCOMPARE(frame.toHex(' '), (sends ? expected : QByteArray(30, 0)).toHex(' '));
    }
};

QTEST_MAIN(TstTavrel)
#include "tst_tavrel.moc"
