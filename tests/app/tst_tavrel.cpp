// The main window: its form, input rules, actions as the bus sees them, and shutdown order.
#include "tavrel.h"

#include "fttask.h"
#include "simcontrol.h"

#include <QtTest>

#include <QMetaMethod>
#include <QValidator>

#include <algorithm>
#include <atomic>

namespace {

// Bound of every wait on the worker: finding and opening the simulated bridge, or
// finding it again (attempts are 1 s apart), then a few connected cycles of ~20 ms.
constexpr int workerTimeoutMs = 10000;

// Bus address of the attached device's indicator LEDs, written once a cycle.
constexpr uint16_t indicatorAddress = 4;

using Image = std::array<quint8, FtTask::ImageSize>;

// The central widget's child widgets in creation order, at their fixed places.
const QStringList centralChildren = {
    QStringLiteral("lineEdit QLineEdit QRect(130,40 113x21)"),
    QStringLiteral("label QLabel QRect(30,40 72x21)"),
    QStringLiteral("label_2 QLabel QRect(30,100 72x21)"),
    QStringLiteral("lineEdit_2 QLineEdit QRect(130,100 113x21)"),
    QStringLiteral("pushButton QPushButton QRect(330,96 93x28)"),
    QStringLiteral("line QFrame QRect(0,150 591x16)"),
    QStringLiteral("pushButton_2 QPushButton QRect(330,210 93x28)"),
};

QStringList describeCentralChildren(const Tavrel &w)
{
    QStringList out;
    // Only widgets: a style's animations come and go among the children.
    for (const QWidget *c : w.centralWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        out << QString();
        QDebug(&out.last()).noquote().nospace() << c->objectName() << ' ' << c->metaObject()->className() << ' '
                                                << c->geometry();
    }
    return out;
}

QByteArray hex(const Image &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex(' ');
}

Image imageOf(const FtTask *task)
{
    Image image{};
    for (int i = 0; i < FtTask::ImageSize; ++i)
        image[i] = task->data(i);
    return image;
}

int indicatorWritesSince(uint64_t sinceUs)
{
    const std::vector<sim::BusCycle> cycles = sim::busCycles();
    return int(std::count_if(cycles.begin(), cycles.end(), [sinceUs](const sim::BusCycle &c) {
        return c.write && c.address == indicatorAddress && c.timeUs >= sinceUs;
    }));
}

// Types both fields as an operator would: each text is then one the field lets stand.
void fill(Tavrel &w, const QString &index, const QString &value)
{
    w.findChild<QLineEdit *>("lineEdit")->clear();
    QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit"), index);
    w.findChild<QLineEdit *>("lineEdit_2")->clear();
    QTest::keyClicks(w.findChild<QLineEdit *>("lineEdit_2"), value);
}

// Shown, connected and past the register reset's frame: every later frame answers the test.
bool connectWindow(Tavrel &w)
{
    w.show();
    return QTest::qWaitForWindowExposed(&w)
        && QTest::qWaitFor([] { return sim::framesShown() >= 1; }, workerTimeoutMs);
}

// Warnings and criticals from any thread while a test runs (Qt Test prints them): none expected.
std::atomic<int> warningCount{0};
QtMessageHandler previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    // The offscreen platform's notice at every shown main window: not the program's.
    const bool offscreenNotice = msg == QLatin1String("This plugin does not support propagateSizeHints()");
    if ((type == QtWarningMsg || type == QtCriticalMsg) && !offscreenNotice)
        ++warningCount;
    previousHandler(type, context, msg);
}

} // namespace

class TstTavrel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(recordWarnings); }

    void init()
    {
        sim::reset(); // no window, so no worker, is alive between tests
        warningCount = 0;
    }

    void cleanup() { QCOMPARE(warningCount.load(), 0); }

    void form()
    {
        Tavrel w;
        QCOMPARE(w.objectName(), QStringLiteral("TavrelClass"));
        QCOMPARE(w.size(), QSize(600, 400));
        QCOMPARE(describeCentralChildren(w), centralChildren);
        QCOMPARE(QStringList({w.centralWidget()->objectName(), w.menuBar()->objectName(), w.statusBar()->objectName()}),
                 QStringList({"centralWidget", "menuBar", "statusBar"}));
        QCOMPARE(w.menuBar()->geometry(), QRect(0, 0, 600, 26)); // as set, before any layout pass
        QCOMPARE(w.toolBarArea(w.findChild<QToolBar *>("mainToolBar")), Qt::TopToolBarArea);
        QCOMPARE(w.findChild<QFrame *>("line")->frameStyle(), QFrame::HLine | QFrame::Sunken);

        // Code points, so the test does not depend on its encoding; the value caption has two ASCII spaces.
        QStringList texts = {w.windowTitle()};
        for (const char *name : {"label", "label_2", "pushButton", "pushButton_2"})
            texts << w.findChild<QWidget *>(name)->property("text").toString();
        QCOMPARE(texts, QStringList({QStringLiteral("Tavrel"), QStringLiteral(u"\u5e8f\u53f7\uff1a"),
                                     QStringLiteral(u"\u503c  \uff1a"), QStringLiteral(u"\u5199\u5165"),
                                     QStringLiteral(u"\u6e05\u5c4f")}));

        // A window that already has a name keeps it.
        QMainWindow named;
        named.setObjectName(QStringLiteral("operatorWindow"));
        Ui::TavrelClass().setupUi(&named);
        QCOMPARE(named.objectName(), QStringLiteral("operatorWindow"));
    }

    void shownWindow()
    {
        Tavrel w;
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));

        // Tab walks the widgets that take focus in creation order, then wraps.
        w.findChild<QWidget *>("lineEdit")->setFocus();
        QCOMPARE(QApplication::focusWidget(), w.findChild<QWidget *>("lineEdit"));
        QStringList order;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, QStringList({"lineEdit_2", "pushButton", "pushButton_2", "lineEdit"}));

        // Wider and lower than the form (no maximum, no minimum): nothing on the central widget moves.
        w.resize(1000, 150);
        QTRY_COMPARE(w.size(), QSize(1000, 150));
        QCoreApplication::processEvents();
        QCOMPARE(describeCentralChildren(w), centralChildren);
    }

    void metaObject()
    {
        Tavrel w;
        const QMetaObject *mo = w.metaObject();
        QCOMPARE(QByteArray(mo->className()), QByteArray("Tavrel"));
        QCOMPARE(w.qt_metacast("Tavrel"), static_cast<void *>(&w));

        // Exactly two methods of its own, in this order: no signals, no other slots.
        QStringList local;
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
            const QMetaMethod m = mo->method(i);
            const bool publicSlot = m.methodType() == QMetaMethod::Slot && m.access() == QMetaMethod::Public;
            local << QString::fromLatin1(m.methodSignature()) + QLatin1String(publicSlot ? " public slot" : " other");
        }
        QCOMPARE(local, QStringList({"onBtnWrite() public slot", "onBtnClearAll() public slot"}));

        fill(w, QStringLiteral("12"), QStringLiteral("5a"));
        QVERIFY(mo->method(mo->methodOffset() + 0).invoke(&w));
        QCOMPARE(w.worker()->data(12), quint8(0x5a));
        QVERIFY(mo->method(mo->methodOffset() + 1).invoke(&w));
        QCOMPARE(w.worker()->data(12), quint8(0));
    }

    void validators_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("text"); // what the field holds afterwards
        QTest::addColumn<int>("state");    // QValidator::State of that text

        const int ok = QValidator::Acceptable, partial = QValidator::Intermediate;
        QTest::newRow("index 29 is the top") << "lineEdit" << "29" << "29" << ok;
        QTest::newRow("index 30 may stand") << "lineEdit" << "30" << "30" << partial;
        QTest::newRow("index third digit refused") << "lineEdit" << "300" << "30" << partial;
        QTest::newRow("index minus refused") << "lineEdit" << "-3" << "3" << ok;
        QTest::newRow("index plus refused") << "lineEdit" << "+" << "" << partial;
        QTest::newRow("index group separator refused") << "lineEdit" << "2," << "2" << ok;
        QTest::newRow("index separator inside refused") << "lineEdit" << "1,5" << "15" << ok;
        QTest::newRow("value mixed case") << "lineEdit_2" << "0fF9" << "0fF9" << ok;
        QTest::newRow("value three digits") << "lineEdit_2" << "123" << "123" << partial;
        QTest::newRow("value fifth digit refused") << "lineEdit_2" << "12345" << "1234" << ok;
        QTest::newRow("value x and g refused") << "lineEdit_2" << "0x1g" << "01" << partial;
    }

    void validators()
    {
        QFETCH(QString, field);
        QFETCH(QString, keys);
        QFETCH(QString, text);
        QFETCH(int, state);

        // A locale with a group separator, as an operator's may have.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        Tavrel w;
        QLocale::setDefault(QLocale::c());
        auto *edit = w.findChild<QLineEdit *>(field);
        QTest::keyClicks(edit, keys);
        QCOMPARE(edit->text(), text);
        int pos = text.size();
        QCOMPARE(int(edit->validator()->validate(text, pos)), state);
    }

    void actions_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("index");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("position"); // -1: no byte written
        QTest::addColumn<int>("byte");
        QTest::addColumn<bool>("sends");

        const QString write = QStringLiteral("pushButton"), clear = QStringLiteral("pushButton_2");
        QTest::newRow("7 ff") << write << "7" << "ff" << 7 << 0xFF << true;
        QTest::newRow("05 1234: leading zero, low byte") << write << "05" << "1234" << 5 << 0x34 << true;
        QTest::newRow("29 FFFF: last position") << write << "29" << "FFFF" << 29 << 0xFF << true;
        QTest::newRow("0 abcd: first position") << write << "0" << "abcd" << 0 << 0xCD << true;
        QTest::newRow("8 F") << write << "8" << "F" << 8 << 0x0F << true;
        QTest::newRow("9 00ff") << write << "9" << "00ff" << 9 << 0xFF << true;
        QTest::newRow("30: image unchanged, still sent") << write << "30" << "77" << -1 << 0 << true;
        QTest::newRow("index empty: nothing") << write << "" << "ff" << -1 << 0 << false;
        QTest::newRow("value empty: nothing") << write << "7" << "" << -1 << 0 << false;
        QTest::newRow("clear, fields empty") << clear << "" << "" << -1 << 0 << true;
        QTest::newRow("clear, fields filled") << clear << "12" << "beef" << -1 << 0 << true;
    }

    void actions()
    {
        QFETCH(QString, button);
        QFETCH(QString, index);
        QFETCH(QString, value);
        QFETCH(int, position);
        QFETCH(int, byte);
        QFETCH(bool, sends);

        Tavrel w;
        QVERIFY(connectWindow(w));
        // Bytes unlike any written, so a write anywhere shows; no send is pending.
        for (int i = 0; i < FtTask::ImageSize; ++i)
            w.worker()->setData(i, quint8(0xA0 + i));
        Image expected = imageOf(w.worker());
        if (position >= 0)
            expected[position] = quint8(byte);
        if (button == QLatin1String("pushButton_2"))
            expected.fill(0);

        fill(w, index, value);
        const int framesBefore = sim::framesShown();
        QTest::mouseClick(w.findChild<QPushButton *>(button), Qt::LeftButton);
        const uint64_t afterClickUs = sim::nowUs(); // the request, if any, is raised by now
        QCOMPARE(hex(imageOf(w.worker())), hex(expected));
        // Neither action touches the fields or the bars.
        QCOMPARE(w.findChild<QLineEdit *>("lineEdit")->text(), index);
        QCOMPARE(w.findChild<QLineEdit *>("lineEdit_2")->text(), value);
        QVERIFY(w.menuBar()->actions().isEmpty());
        QVERIFY(w.findChild<QToolBar *>("mainToolBar")->actions().isEmpty());
        QVERIFY(w.statusBar()->currentMessage().isEmpty());

        // Any request the click raised is served, frame and all, before the second indicator write since.
        QTRY_VERIFY_WITH_TIMEOUT(indicatorWritesSince(afterClickUs) >= 2, workerTimeoutMs);
        QCOMPARE(sim::framesShown() - framesBefore, sends ? 1 : 0);
        if (sends)
            QCOMPARE(hex(sim::shownFrame()), hex(expected));
    }

    void twoWritesReachOneFrame()
    {
        Tavrel w;
        QVERIFY(connectWindow(w));
        // With the bridge unplugged no cycle can run between the two writes.
        QVERIFY(sim::unplug("Sim Bridge A"));
        fill(w, QStringLiteral("2"), QStringLiteral("11"));
        QTest::mouseClick(w.findChild<QPushButton *>("pushButton"), Qt::LeftButton);
        fill(w, QStringLiteral("3"), QStringLiteral("22"));
        QTest::mouseClick(w.findChild<QPushButton *>("pushButton"), Qt::LeftButton);

        const Image expected = {0, 0, 0x11, 0x22};
        QVERIFY(sim::plug("Sim Bridge A"));
        QTRY_COMPARE_WITH_TIMEOUT(hex(sim::shownFrame()), hex(expected), workerTimeoutMs);
    }

    void closeJoinsWorkerBeforeWidgetsGo()
    {
        auto *w = new Tavrel;
        QVERIFY(connectWindow(*w));
        std::atomic<bool> finished{false};
        connect(w->worker(), &QThread::finished, this, [&finished] { finished = true; }, Qt::DirectConnection);

        // What the worker has left behind when the first widget goes.
        QString whenWidgetsGo;
        connect(w->centralWidget(), &QObject::destroyed, [&] {
            const sim::BusCycle last = sim::busCycles().back(); // not empty: a frame was shown
            whenWidgetsGo = QString::asprintf("finished %d, open handles %d, last bus cycle %s %02x %02x",
                                              bool(finished), sim::openHandles(), last.write ? "write" : "read",
                                              last.address, last.data);
        });

        // Closing only hides the window: the worker goes with the window itself.
        QVERIFY(w->close());
        QVERIFY(w->worker()->isRunning());
        delete w;
        QCOMPARE(whenWidgetsGo, QStringLiteral("finished 1, open handles 0, last bus cycle write 00 00"));
    }
};

QTEST_MAIN(TstTavrel)
#include "tst_tavrel.moc"
