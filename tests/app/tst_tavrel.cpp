// The main window: its form, its input rules, its two actions as seen on the
// simulated bridge's bus, and its shutdown order.
#include "tavrel.h"

#include "fttask.h"
#include "simcontrol.h"

#include <QtTest>

#include <QFrame>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaMethod>
#include <QMutex>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QValidator>

#include <array>
#include <atomic>
#include <optional>

namespace {

// Bounds of the waits: finding, opening and synchronising the simulated
// bridge; and a few connected cycles (each about 20 ms plus bus work), or a
// reconnection (attempts are 1 s apart).
constexpr int connectTimeoutMs = 10000;
constexpr int cyclesTimeoutMs = 5000;
constexpr int reconnectTimeoutMs = 10000;

constexpr int imageSize = 30;
using Image = std::array<quint8, imageSize>;

// Bus addresses of the attached device.
constexpr uint16_t frameFirstByte = 0, frameNextByte = 1, frameBegin = 2, frameEnd = 3, indicator = 4;

struct FormChild {
    const char *name;
    const char *className;
    QRect geometry;
};
// The central widget's children, in creation order, at their fixed places.
const FormChild centralChildren[] = {
    {"lineEdit", "QLineEdit", QRect(130, 40, 113, 21)},
    {"label", "QLabel", QRect(30, 40, 72, 21)},
    {"label_2", "QLabel", QRect(30, 100, 72, 21)},
    {"lineEdit_2", "QLineEdit", QRect(130, 100, 113, 21)},
    {"pushButton", "QPushButton", QRect(330, 96, 93, 28)},
    {"line", "QFrame", QRect(0, 150, 591, 16)},
    {"pushButton_2", "QPushButton", QRect(330, 210, 93, 28)},
};

QString hex(const Image &bytes)
{
    QString out;
    for (quint8 b : bytes)
        out += QString::asprintf("%02x ", b);
    return out.trimmed();
}

Image imageOf(const FtTask *task)
{
    Image image{};
    for (int i = 0; i < imageSize; ++i)
        image[i] = task->data(i);
    return image;
}

// The first frame that began (address 2) at or after sinceUs and has been
// ended (address 3), assembled from the bus log the way the device does.
std::optional<Image> firstFrameSince(uint64_t sinceUs)
{
    Image frame{};
    bool inFrame = false;
    int next = 0;
    for (const sim::BusCycle &c : sim::busCycles()) {
        if (!c.write || c.wide || c.timeUs < sinceUs)
            continue;
        if (c.address == frameBegin) {
            inFrame = true;
            next = 0;
        } else if (inFrame && c.address == frameFirstByte) {
            frame[0] = c.data;
            next = 1;
        } else if (inFrame && c.address == frameNextByte && next < imageSize) {
            frame[next++] = c.data;
        } else if (inFrame && c.address == frameEnd) {
            return frame;
        }
    }
    return std::nullopt;
}

int indicatorWritesSince(uint64_t sinceUs)
{
    int n = 0;
    for (const sim::BusCycle &c : sim::busCycles())
        n += c.write && c.address == indicator && c.timeUs >= sinceUs;
    return n;
}

template <typename W>
W *child(const QObject &window, const char *name)
{
    return window.findChild<W *>(QString::fromLatin1(name));
}

// Warnings and criticals seen while a test ran; the program should cause none.
QMutex warningsMutex; // guards warnings (the worker thread may log too)
QStringList warnings;
QtMessageHandler previousHandler = nullptr;

// The offscreen platform's notice whenever a main window is shown; it
// speaks of the test platform, not of the program (the end-to-end test
// checks that the program prints no warning on a real X server).
const QString offscreenNotice = QStringLiteral("This plugin does not support propagateSizeHints()");

void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if ((type == QtWarningMsg || type == QtCriticalMsg) && msg != offscreenNotice) {
        QMutexLocker locker(&warningsMutex);
        warnings << msg;
    }
    previousHandler(type, context, msg);
}

} // namespace

class TstTavrel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void widgets_data();
    void widgets();
    void formShape();
    void objectName_data();
    void objectName();
    void texts_data();
    void texts();
    void resizeMovesNothing_data();
    void resizeMovesNothing();
    void focusOrder();
    void barsStayEmpty();
    void metaObject_data();
    void metaObject();
    void invokeLocalMethods();
    void casts();

    void validators_data();
    void validators();
    void write_data();
    void write();
    void writeWithEmptyField_data();
    void writeWithEmptyField();
    void clearAll_data();
    void clearAll();
    void twoWritesOneFrame();

    void closeJoinsWorkerBeforeWidgetsGo();

private:
    // A shown window whose worker has connected and sent its first frame
    // (the one the register reset asks for), so every later frame answers a
    // request made by the test.
    bool connectWindow(Tavrel &w);
    void type(Tavrel &w, const char *field, const QString &text);
};

void TstTavrel::initTestCase()
{
    previousHandler = qInstallMessageHandler(recordWarnings);
}

void TstTavrel::init()
{
    // No window (and so no worker) is alive between tests.
    sim::reset();
    QMutexLocker locker(&warningsMutex);
    warnings.clear();
}

void TstTavrel::cleanup()
{
    QMutexLocker locker(&warningsMutex);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
}

bool TstTavrel::connectWindow(Tavrel &w)
{
    w.show();
    return QTest::qWaitForWindowExposed(&w)
        && QTest::qWaitFor([] { return sim::framesShown() >= 1; }, connectTimeoutMs);
}

void TstTavrel::type(Tavrel &w, const char *field, const QString &text)
{
    QLineEdit *edit = child<QLineEdit>(w, field);
    edit->clear();
    QTest::keyClicks(edit, text);
}

void TstTavrel::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry"); // null: placed by the main window's layout

    QTest::newRow("centralWidget") << "centralWidget" << QByteArray("QWidget") << "TavrelClass" << QRect();
    for (const FormChild &c : centralChildren)
        QTest::newRow(c.name) << c.name << QByteArray(c.className) << "centralWidget" << c.geometry;
    QTest::newRow("menuBar") << "menuBar" << QByteArray("QMenuBar") << "TavrelClass" << QRect();
    QTest::newRow("mainToolBar") << "mainToolBar" << QByteArray("QToolBar") << "TavrelClass" << QRect();
    QTest::newRow("statusBar") << "statusBar" << QByteArray("QStatusBar") << "TavrelClass" << QRect();
}

void TstTavrel::widgets()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);

    Tavrel w;
    const QList<QWidget *> found = w.findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QByteArray(found[0]->metaObject()->className()), className);
    QCOMPARE(found[0]->parent()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(found[0]->geometry(), geometry);
}

void TstTavrel::formShape()
{
    Tavrel w;
    auto *central = child<QWidget>(w, "centralWidget");

    // Creation order is the order of the parent's children.
    QStringList order;
    for (QObject *o : central->children())
        order << o->objectName();
    QStringList expected;
    for (const FormChild &c : centralChildren)
        expected << QString::fromLatin1(c.name);
    QCOMPARE(order, expected);

    QCOMPARE(w.centralWidget(), central);
    QCOMPARE(w.menuBar(), child<QMenuBar>(w, "menuBar"));
    QCOMPARE(w.statusBar(), child<QStatusBar>(w, "statusBar"));
    QCOMPARE(w.toolBarArea(child<QToolBar>(w, "mainToolBar")), Qt::TopToolBarArea);
    QCOMPARE(w.size(), QSize(600, 400));
    QCOMPARE(w.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));

    auto *line = child<QFrame>(w, "line");
    QCOMPARE(line->frameShape(), QFrame::HLine);
    QCOMPARE(line->frameShadow(), QFrame::Sunken);
}

void TstTavrel::objectName_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unnamed window gets the form's name") << QString() << "TavrelClass";
    QTest::newRow("named window keeps its name") << "operatorWindow" << "operatorWindow";
}

void TstTavrel::objectName()
{
    QFETCH(QString, given);
    QFETCH(QString, expected);

    QMainWindow window;
    window.setObjectName(given);
    Ui::TavrelClass form;
    form.setupUi(&window);
    QCOMPARE(window.objectName(), expected);
    QCOMPARE(window.size(), QSize(600, 400));
    QCOMPARE(form.menuBar->geometry(), QRect(0, 0, 600, 26)); // as set, before any layout pass
}

void TstTavrel::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    // Written as code points so the test does not depend on its own encoding.
    QTest::newRow("title") << QString() << QStringLiteral("Tavrel");
    QTest::newRow("index caption") << "label" << QStringLiteral(u"\u5e8f\u53f7\uff1a");
    // U+503C, two ASCII spaces, full-width colon: four characters.
    QTest::newRow("value caption") << "label_2" << QStringLiteral(u"\u503c  \uff1a");
    QTest::newRow("write") << "pushButton" << QStringLiteral(u"\u5199\u5165");
    QTest::newRow("clear") << "pushButton_2" << QStringLiteral(u"\u6e05\u5c4f");
}

void TstTavrel::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);

    Tavrel w;
    QCOMPARE(w.objectName(), QStringLiteral("TavrelClass"));
    QObject *target = name.isEmpty() ? &w : w.findChild<QObject *>(name);
    QVERIFY(target);
    const char *property = name.isEmpty() ? "windowTitle" : "text";
    QCOMPARE(target->property(property).toString(), text);
}

void TstTavrel::resizeMovesNothing_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("smaller") << QSize(320, 240);
    QTest::newRow("larger") << QSize(1000, 700);
    QTest::newRow("narrow and tall") << QSize(200, 800);
}

void TstTavrel::resizeMovesNothing()
{
    QFETCH(QSize, size);

    Tavrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(size);
    QTRY_COMPARE(w.size(), size);
    QCoreApplication::processEvents();
    for (const FormChild &c : centralChildren)
        QCOMPARE(child<QWidget>(w, c.name)->geometry(), c.geometry);
}

void TstTavrel::focusOrder()
{
    Tavrel w;
    w.show();
    QApplication::setActiveWindow(&w);
    QVERIFY(QTest::qWaitForWindowActive(&w));
    child<QWidget>(w, "lineEdit")->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), child<QWidget>(w, "lineEdit"));

    // Tab walks the widgets that take focus in creation order, then wraps.
    for (const char *next : {"lineEdit_2", "pushButton", "pushButton_2", "lineEdit"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QString::fromLatin1(next));
    }
}

void TstTavrel::barsStayEmpty()
{
    Tavrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    type(w, "lineEdit", QStringLiteral("3"));
    type(w, "lineEdit_2", QStringLiteral("7f"));
    QTest::mouseClick(child<QPushButton>(w, "pushButton"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(w, "pushButton_2"), Qt::LeftButton);

    QVERIFY(child<QMenuBar>(w, "menuBar")->actions().isEmpty());
    QVERIFY(child<QToolBar>(w, "mainToolBar")->actions().isEmpty());
    QVERIFY(child<QStatusBar>(w, "statusBar")->currentMessage().isEmpty());
}

void TstTavrel::metaObject_data()
{
    QTest::addColumn<int>("local");
    QTest::addColumn<QByteArray>("signature");
    QTest::newRow("0") << 0 << QByteArray("onBtnWrite()");
    QTest::newRow("1") << 1 << QByteArray("onBtnClearAll()");
}

void TstTavrel::metaObject()
{
    QFETCH(int, local);
    QFETCH(QByteArray, signature);

    const QMetaObject &mo = Tavrel::staticMetaObject;
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 2);
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 0);
    QCOMPARE(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    QCOMPARE(mo.classInfoCount() - mo.classInfoOffset(), 0);
    QCOMPARE(mo.constructorCount(), 0);

    const QMetaMethod m = mo.method(mo.methodOffset() + local);
    QCOMPARE(m.methodSignature(), signature);
    QCOMPARE(m.methodType(), QMetaMethod::Slot);
    QCOMPARE(m.access(), QMetaMethod::Public);
    QCOMPARE(m.returnType(), int(QMetaType::Void));
}

void TstTavrel::invokeLocalMethods()
{
    Tavrel w;
    const QMetaObject *mo = w.metaObject();
    type(w, "lineEdit", QStringLiteral("12"));
    type(w, "lineEdit_2", QStringLiteral("5a"));

    QVERIFY(mo->method(mo->methodOffset() + 0).invoke(&w));
    QCOMPARE(w.worker()->data(12), quint8(0x5a));

    QVERIFY(mo->method(mo->methodOffset() + 1).invoke(&w));
    QCOMPARE(hex(imageOf(w.worker())), hex(Image{}));
}

void TstTavrel::casts()
{
    Tavrel w;
    QObject *asObject = &w;
    QCOMPARE(qobject_cast<Tavrel *>(asObject), &w);
    QVERIFY(w.inherits("Tavrel"));
    QVERIFY(w.inherits("QMainWindow"));
    QCOMPARE(w.qt_metacast("Tavrel"), static_cast<void *>(&w));
    QCOMPARE(QByteArray(w.metaObject()->className()), QByteArray("Tavrel"));
    QCOMPARE(w.metaObject()->superClass(), &QMainWindow::staticMetaObject);

    QMainWindow plain;
    QCOMPARE(qobject_cast<Tavrel *>(&plain), static_cast<Tavrel *>(nullptr));
}

void TstTavrel::validators_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("text"); // what the field holds afterwards
    QTest::addColumn<int>("state");    // QValidator::State of that text

    const int ok = QValidator::Acceptable, partial = QValidator::Intermediate;
    QTest::newRow("index empty") << "lineEdit" << "" << "" << partial;
    QTest::newRow("index 7") << "lineEdit" << "7" << "7" << ok;
    QTest::newRow("index leading zero") << "lineEdit" << "05" << "05" << ok;
    QTest::newRow("index 29") << "lineEdit" << "29" << "29" << ok;
    QTest::newRow("index 30 may stand") << "lineEdit" << "30" << "30" << partial;
    QTest::newRow("index third digit refused") << "lineEdit" << "300" << "30" << partial;
    QTest::newRow("index minus refused") << "lineEdit" << "-" << "" << partial;
    QTest::newRow("index minus then digit") << "lineEdit" << "-3" << "3" << ok;
    QTest::newRow("index letter refused") << "lineEdit" << "a" << "" << partial;
    QTest::newRow("value empty") << "lineEdit_2" << "" << "" << partial;
    QTest::newRow("value four digits") << "lineEdit_2" << "abcd" << "abcd" << ok;
    QTest::newRow("value mixed case") << "lineEdit_2" << "0fF9" << "0fF9" << ok;
    QTest::newRow("value one digit") << "lineEdit_2" << "F" << "F" << partial;
    QTest::newRow("value three digits") << "lineEdit_2" << "123" << "123" << partial;
    QTest::newRow("value fifth digit refused") << "lineEdit_2" << "12345" << "1234" << ok;
    QTest::newRow("value g refused") << "lineEdit_2" << "g" << "" << partial;
    QTest::newRow("value 0x prefix refused") << "lineEdit_2" << "0x1" << "01" << partial;
    QTest::newRow("value space refused") << "lineEdit_2" << " a" << "a" << partial;
    QTest::newRow("value minus refused") << "lineEdit_2" << "-1" << "1" << partial;
}

void TstTavrel::validators()
{
    QFETCH(QString, field);
    QFETCH(QString, keys);
    QFETCH(QString, text);
    QFETCH(int, state);

    Tavrel w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *edit = w.findChild<QLineEdit *>(field);
    QTest::keyClicks(edit, keys);
    QCOMPARE(edit->text(), text);
    QString held = edit->text();
    int pos = held.size();
    QCOMPARE(int(edit->validator()->validate(held, pos)), state);
}

void TstTavrel::write_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("position"); // -1: the image stays as it was
    QTest::addColumn<int>("byte");

    QTest::newRow("7 ff") << "7" << "ff" << 7 << 0xFF;
    QTest::newRow("1234 keeps the low byte") << "3" << "1234" << 3 << 0x34;
    QTest::newRow("FFFF") << "4" << "FFFF" << 4 << 0xFF;
    QTest::newRow("abcd") << "6" << "abcd" << 6 << 0xCD;
    QTest::newRow("one digit F") << "8" << "F" << 8 << 0x0F;
    QTest::newRow("00ff") << "9" << "00ff" << 9 << 0xFF;
    QTest::newRow("index with leading zero") << "05" << "5a" << 5 << 0x5A;
    QTest::newRow("last position") << "29" << "c3" << 29 << 0xC3;
    QTest::newRow("first position") << "0" << "81" << 0 << 0x81;
    QTest::newRow("index 30 changes nothing, still sends") << "30" << "77" << -1 << 0;
}

void TstTavrel::write()
{
    QFETCH(QString, index);
    QFETCH(QString, value);
    QFETCH(int, position);
    QFETCH(int, byte);

    Tavrel w;
    QVERIFY(connectWindow(w));
    // Typed, so each text is one the field really lets stand.
    type(w, "lineEdit", index);
    type(w, "lineEdit_2", value);
    QCOMPARE(child<QLineEdit>(w, "lineEdit")->text(), index);
    QCOMPARE(child<QLineEdit>(w, "lineEdit_2")->text(), value);

    Image expected{};
    if (position >= 0)
        expected[position] = quint8(byte);

    const uint64_t clickedUs = sim::nowUs();
    QTest::mouseClick(child<QPushButton>(w, "pushButton"), Qt::LeftButton);
    QCOMPARE(hex(imageOf(w.worker())), hex(expected));

    // The next frame carries the image, unchanged image included.
    std::optional<Image> frame;
    QTRY_VERIFY_WITH_TIMEOUT((frame = firstFrameSince(clickedUs)).has_value(), cyclesTimeoutMs);
    QCOMPARE(hex(*frame), hex(expected));
}

void TstTavrel::writeWithEmptyField_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<QString>("value");
    QTest::newRow("index empty") << "" << "ff";
    QTest::newRow("value empty") << "7" << "";
    QTest::newRow("both empty") << "" << "";
}

void TstTavrel::writeWithEmptyField()
{
    QFETCH(QString, index);
    QFETCH(QString, value);

    Tavrel w;
    QVERIFY(connectWindow(w));
    // Bytes where a wrong conversion of an empty text would land (0 and 7).
    Image before{};
    before[0] = before[7] = 0x42;
    w.worker()->setData(0, 0x42);
    w.worker()->setData(7, 0x42);
    type(w, "lineEdit", index);
    type(w, "lineEdit_2", value);

    const uint64_t clickedUs = sim::nowUs();
    QTest::mouseClick(child<QPushButton>(w, "pushButton"), Qt::LeftButton);
    QCOMPARE(hex(imageOf(w.worker())), hex(before));

    // A request raised at the click is taken by the cycle after the next
    // indicator write at the latest, before that cycle's own indicator write.
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWritesSince(clickedUs) >= 2, cyclesTimeoutMs);
    QVERIFY2(!firstFrameSince(clickedUs), "a frame was sent although nothing was written");
}

void TstTavrel::clearAll_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<QString>("value");
    QTest::newRow("fields empty") << "" << "";
    QTest::newRow("fields filled") << "12" << "beef";
}

void TstTavrel::clearAll()
{
    QFETCH(QString, index);
    QFETCH(QString, value);

    Tavrel w;
    QVERIFY(connectWindow(w));
    Image filled;
    for (int i = 0; i < imageSize; ++i) {
        filled[i] = quint8(0xA0 + i);
        w.worker()->setData(i, filled[i]);
    }
    w.worker()->requestSend();
    QTRY_COMPARE_WITH_TIMEOUT(hex(sim::shownFrame()), hex(filled), cyclesTimeoutMs);
    type(w, "lineEdit", index);
    type(w, "lineEdit_2", value);

    const uint64_t clickedUs = sim::nowUs();
    QTest::mouseClick(child<QPushButton>(w, "pushButton_2"), Qt::LeftButton);
    QCOMPARE(hex(imageOf(w.worker())), hex(Image{}));
    QCOMPARE(child<QLineEdit>(w, "lineEdit")->text(), index);
    QCOMPARE(child<QLineEdit>(w, "lineEdit_2")->text(), value);

    std::optional<Image> frame;
    QTRY_VERIFY_WITH_TIMEOUT((frame = firstFrameSince(clickedUs)).has_value(), cyclesTimeoutMs);
    QCOMPARE(hex(*frame), hex(Image{}));
}

void TstTavrel::twoWritesOneFrame()
{
    Tavrel w;
    QVERIFY(connectWindow(w));
    // With the bridge unplugged no cycle can run between the two writes.
    QVERIFY(sim::unplug("Sim Bridge A"));
    type(w, "lineEdit", QStringLiteral("2"));
    type(w, "lineEdit_2", QStringLiteral("11"));
    QTest::mouseClick(child<QPushButton>(w, "pushButton"), Qt::LeftButton);
    type(w, "lineEdit", QStringLiteral("3"));
    type(w, "lineEdit_2", QStringLiteral("22"));
    QTest::mouseClick(child<QPushButton>(w, "pushButton"), Qt::LeftButton);

    Image expected{};
    expected[2] = 0x11;
    expected[3] = 0x22;
    QCOMPARE(hex(imageOf(w.worker())), hex(expected));

    const uint64_t pluggedUs = sim::nowUs();
    QVERIFY(sim::plug("Sim Bridge A"));
    std::optional<Image> frame;
    QTRY_VERIFY_WITH_TIMEOUT((frame = firstFrameSince(pluggedUs)).has_value(), reconnectTimeoutMs);
    QCOMPARE(hex(*frame), hex(expected));
}

void TstTavrel::closeJoinsWorkerBeforeWidgetsGo()
{
    auto *w = new Tavrel;
    QVERIFY(connectWindow(*w));
    FtTask *task = w->worker();

    std::atomic<bool> finished{false};
    connect(task, &QThread::finished, task, [&finished] { finished = true; }, Qt::DirectConnection);
    bool finishedBeforeWidgets = false;
    int handlesWhenWidgetsGo = -1;
    std::optional<sim::BusCycle> lastCycleWhenWidgetsGo;
    connect(child<QWidget>(*w, "centralWidget"), &QObject::destroyed, [&] {
        finishedBeforeWidgets = finished;
        handlesWhenWidgetsGo = sim::openHandles();
        const std::vector<sim::BusCycle> cycles = sim::busCycles();
        if (!cycles.empty())
            lastCycleWhenWidgetsGo = cycles.back();
    });

    // Closing only hides the window: the worker goes with the window itself.
    QVERIFY(w->close());
    QVERIFY(task->isRunning());

    delete w;
    QVERIFY(finished);
    QVERIFY(finishedBeforeWidgets);
    QCOMPARE(handlesWhenWidgetsGo, 0);
    // The worker's last act on the bus: 0 to address 0.
    QVERIFY(lastCycleWhenWidgetsGo.has_value());
    QVERIFY(lastCycleWhenWidgetsGo->write);
    QCOMPARE(lastCycleWhenWidgetsGo->address, uint16_t(0));
    QCOMPARE(lastCycleWhenWidgetsGo->data, uint8_t(0));
}

QTEST_MAIN(TstTavrel)
#include "tst_tavrel.moc"
