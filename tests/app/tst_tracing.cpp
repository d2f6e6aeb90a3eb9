// The host-side trace: the bus decoder, and the trace of the model's calls against its bus log.
#include "busdecoder.h"
#include "ftunitl.h"
#include "simtest.h"
#include "tracing.h"

#include <QTemporaryDir>

#include <unistd.h>

using hostbus::BusEvent;

class TestTracing : public QObject
{
    Q_OBJECT

private slots:
    void init() { simtest::begin(); }
    void cleanup() { d2xx::install(sim::d2xxCalls()); }
    void decode_data();
    void decode();
    void traceMatchesTheBus_data();
    void traceMatchesTheBus();
    void badFile_data();
    void badFile();

private:
    QTemporaryDir m_dir;
};

void TestTracing::decode_data()
{
    // Steps: m<mode> a bit mode set, w<hex> bytes the bridge took, r<hex> bytes read.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("events");
    QTest::newRow("16-bit") << "m08 w93010402 w91010487 r7f" << "busw 0104 02, busr 0104 7f";
    QTest::newRow("split across writes") << "m08 w92 w04 w01 w90 w0187 r3c" << "busw 04 01, busr 01 3c";
    QTest::newRow("answers in order") << "m08 w900087 w900187 r11fa" << "busr 00 11, busr 01 fa";
    QTest::newRow("synchronisation") << "m08 waa waa rfaaafa waa raafaaa wab rfaab"
                                     << "echo aa, echo aa, echo aa, echo ab";
    QTest::newRow("echo among answers") << "m08 w9000aa87 w9001 w87 r55fa raa66" << "busr 00 55, echo aa, busr 01 66";
    QTest::newRow("operands swallow") << "m08 w8092 w04 w920401" << "busw 04 01";
    QTest::newRow("pin read answers") << "m08 w81 w900187 r773c" << "busr 01 3c";
    QTest::newRow("junk before an echo") << "m08 wab r00faab" << "echo ab";
    QTest::newRow("nothing awaited") << "m08 r3cfaaa" << "";
    QTest::newRow("bit 7 clear") << "m08 w05 rfa05" << "echo 05";
    QTest::newRow("no bit mode yet") << "w920401 w900187 r3c" << "";
    QTest::newRow("held in reset") << "m08 w900187 m00 w920401 r3c" << "";
    QTest::newRow("restart forgets") << "m08 w9001 m08 w87 w920401 r3c" << "busw 04 01";
}

void TestTracing::decode()
{
    QFETCH(QString, steps);
    hostbus::BusDecoder decoder;
    std::vector<BusEvent> events;
    for (const QString &step : steps.split(' ')) {
        const QByteArray bytes = QByteArray::fromHex(step.mid(1).toLatin1());
        const auto *data = reinterpret_cast<const quint8 *>(bytes.constData());
        if (step[0] == 'm')
            decoder.reset(bytes[0] == 0x08);
        else if (step[0] == 'w')
            decoder.written(data, bytes.size(), events);
        else
            decoder.received(data, bytes.size(), events);
    }
    QStringList text;
    for (const BusEvent &event : events)
        text << QString::fromStdString(traceText(event));
    QTEST(text.join(", "), "events");
}

void TestTracing::traceMatchesTheBus_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("text") << "trace";
    QTest::newRow("vcd") << "trace.vcd";
}

// The link's work through the trace: what it decodes is what the model's bus saw.
void TestTracing::traceMatchesTheBus()
{
    QFETCH(QString, file);
    const QString path = m_dir.filePath(file);
    sim::setReadValue(0x0104, 0x5a);
    {
        Tracer tracer;
        QString error;
        QVERIFY2(tracer.open(path, error), qPrintable(error));
        d2xx::install(tracer.wrap(sim::d2xxCalls()));
        FtUnitl link;
        QCOMPARE(link.openDevice(), QString::fromStdString(simtest::portA));
        QVERIFY(link.initDevice());
        for (quint8 address : {2, 0, 1, 1, 3, 4})
            link.writeReg8(address, quint8(address * 0x11));
        QVERIFY(link.readReg8(1, 100) >= 0);
        link.writeReg16(0x01, 0x04, 0x77);
        link.requestReg16(0x01, 0x04);
        QVERIFY(link.waitForData() > 0);
        sim::failNext(sim::Call::Write, 1, FT_IO_ERROR);
        link.writeReg8(9, 9);
        link.closeDevice();
    }
    QFile trace(path);
    QVERIFY(trace.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(trace.readAll()).split('\n', Qt::SkipEmptyParts);
    QStringList bus, decoded, events;
    for (const sim::BusCycle &c : sim::busCycles())
        bus << QString::fromStdString(traceText({BusEvent::Kind(!c.write), c.wide, c.address, c.data}));
    QCOMPARE(bus.size(), 9);
    QMap<QString, QString> names, last; // VCD: identifier -> name; name -> last value
    qint64 time = -1;
    for (const QString &line : lines) {
        const QStringList f = line.split(' ');
        if (f[0] == "$var") {
            QVERIFY2(time < 0, qPrintable(line)); // declarations come before every change
            names[f[3]] = f[4];
        }
        const bool vcdTime = line.startsWith('#'), textTime = f.size() > 1 && f[0][0].isDigit();
        if (vcdTime || textTime) {
            const qint64 at = (vcdTime ? line.mid(1) : f[0]).toLongLong();
            QVERIFY2(at >= time && (at > time || textTime), qPrintable(line));
            time = at;
        }
        if (textTime) {
            events << f[1];
            if (f[1].startsWith("bus"))
                decoded << QStringList(f.mid(1)).join(' ');
        } else if (!vcdTime && time >= 0 && f.size() == 2 && f[0][0] == 'b') {
            QVERIFY2(names.contains(f[1]), qPrintable(line));
            last[names[f[1]]] = f[0];
        } else if (!vcdTime && time >= 0 && (f[0] == "0!" || f[0] == "1!")) {
            last["link"] = f[0].left(1);
        }
    }
    if (file.endsWith(".vcd")) {
        QCOMPARE(QStringList(last.keys()).join(' '), QString("link reg00 reg01 reg0104 reg02 reg03 reg04"));
        QCOMPARE(names.size(), last.size());
        QCOMPARE(last["link"] + last["reg04"] + last["reg0104"], QString("0b01000100b01011010"));
        return;
    }
    QCOMPARE(decoded, bus);
    QVERIFY2(lines.filter(QString(" echo ")).size() >= 2, qPrintable(lines.join('\n')));
    QCOMPARE(events.mid(0, 5).join(' '), QString("list open latency bitmode bitmode"));
    QCOMPARE(lines.filter(QRegularExpression(" open \"Sim Bridge A\"$")).size(), 1);
    QCOMPARE(lines.filter(QRegularExpression(" error FT_Write 4$")).size(), 1);
    QCOMPARE(events.last(), QString("close"));
}

void TestTracing::badFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("created");
    QTest::newRow("no such folder") << "/nonexistent-folder/trace" << false;
    QTest::newRow("a disk that fills") << "/dev/full" << true;
}

void TestTracing::badFile()
{
    QFETCH(QString, path);
    QTemporaryFile stderrCopy;
    QVERIFY(stderrCopy.open());
    const int savedStderr = dup(2);
    dup2(stderrCopy.handle(), 2);
    Tracer tracer;
    QString error;
    const bool created = tracer.open(path, error);
    const D2xxCalls calls = tracer.wrap(sim::d2xxCalls());
    DWORD count = 0, written = 0;
    FT_HANDLE handle = nullptr;
    quint8 bytes[] = {0x92, 0x04, 0x01};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(calls.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
        QCOMPARE(calls.openEx(const_cast<char *>("Sim Bridge A"), FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
        QCOMPARE(calls.write(handle, bytes, 3, &written), FT_OK);
        QCOMPARE(calls.close(handle), FT_OK);
    }
    tracer.finish();
    dup2(savedStderr, 2);
    close(savedStderr);
    stderrCopy.seek(0);
    QTEST(created, "created");
    QCOMPARE(count, DWORD(2));
    const QStringList said = QString::fromLocal8Bit(stderrCopy.readAll()).split('\n', Qt::SkipEmptyParts);
    if (created)
        QCOMPARE(said, {QString("tavrel: trace /dev/full: No space left on device; tracing stopped")});
    else
        QVERIFY2(error.startsWith("cannot create the trace file ") && said.isEmpty(), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestTracing)
#include "tst_tracing.moc"
