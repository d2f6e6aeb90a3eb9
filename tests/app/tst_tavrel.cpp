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

    // The window as shown: title, size, bars; each caption left of its field on one row, the index
    // row above the value row, "写入" right of the value field, a line across below, "清屏" under
    // "写入"; every part inside the central area, none over another.
    void window()
    {
        Tavrel w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(QString("%1 %2x%3").arg(w.windowTitle()).arg(w.width()).arg(w.height()), "Tavrel 600x400");
        QVERIFY(w.menuBar()->y() == 0 && w.statusBar()->geometry().bottom() == w.height() - 1);
        QMultiMap<QString, QRect> parts; // by kind and text
        for (QWidget *c : w.centralWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            const QRect r(c->mapTo(&w, QPoint()), c->size());
            const QString part = c->metaObject()->className() + (':' + c->property("text").toString());
            QVERIFY2(c->isVisible() && w.centralWidget()->geometry().contains(r), qPrintable(part));
            for (const QRect &other : qAsConst(parts))
                QVERIFY2(!other.intersects(r), qPrintable(part));
            parts.insert(part, r);
        }
        const QString index = u8"QLabel:序号：", value = u8"QLabel:值  ：";
        const QString writeButton = u8"QPushButton:写入", clearButton = u8"QPushButton:清屏";
        const QStringList kinds = {"QFrame:", value, index, "QLineEdit:", "QLineEdit:", writeButton, clearButton};
        QCOMPARE(parts.keys(), kinds);
        const QRect write = parts.value(writeButton), clear = parts.value(clearButton), line = parts.value("QFrame:");
        QList<QRect> fields = parts.values("QLineEdit:");
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
        QTest::addColumn<QStringList>("keys"); // typed into the index and value fields; the validators act
        QTest::addColumn<int>("position"); // where the byte goes; -1: nowhere; 30: "清屏", all bytes 0
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
        QByteArray expected, image; // bytes unlike any typed, so a write anywhere shows; no send pending
        for (int i = 0; i < FtTask::ImageSize; ++i) {
            w.worker()->setData(i, quint8(0xA0 + i));
            expected += char(position == 30 ? 0 : i == position ? byte : 0xA0 + i);
        }
        QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit"), keys[0]);
        QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit_2"), keys[1]);
        const int framesBefore = sim::framesShown();
        QTest::mouseClick(w.findChild<QPushButton *>(position == 30 ? "pushButton_2" : "pushButton"), Qt::LeftButton);
        for (int i = 0; i < FtTask::ImageSize; ++i)
            image += char(w.worker()->data(i));
        QCOMPARE(image.toHex(' '), expected.toHex(' '));
        // Any request the click raised is served, frame and all, before the second cycle since.
        QVERIFY(simtest::cyclesPass(2));
        QCOMPARE(sim::framesShown() - framesBefore, sends ? 1 : 0);
        const std::array<uint8_t, FtTask::ImageSize> shown = sim::shownFrame();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(shown.data()), FtTask::ImageSize).toHex(' '),
                 sends ? expected.toHex(' ') : QByteArray(FtTask::ImageSize, 0).toHex(' '));
    }
};

QTEST_MAIN(TstTavrel)
#include "tst_tavrel.moc"
