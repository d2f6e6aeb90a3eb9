#include "hostbus.h"

#include <QtTest>

// The command encodings are checked where they meet the bridge (tst_ftunitl);
// the echo scan has cases no well-behaved bridge produces on demand.
class TstHostbus : public QObject
{
    Q_OBJECT

private slots:
    void echo_data();
    void echo();
};

void TstHostbus::echo_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("found");

    QTest::newRow("nothing") << QByteArray() << 0xAA << false;
    QTest::newRow("marker alone") << QByteArray::fromHex("fa") << 0xAA << false;
    QTest::newRow("exactly the echo") << QByteArray::fromHex("faaa") << 0xAA << true;
    QTest::newRow("echo then more") << QByteArray::fromHex("faaa00") << 0xAA << true;
    QTest::newRow("echo as the last two") << QByteArray::fromHex("0102faab") << 0xAB << true;
    QTest::newRow("marker twice") << QByteArray::fromHex("fafaab") << 0xAB << true;
    QTest::newRow("other command's echo") << QByteArray::fromHex("faab") << 0xAA << false;
    QTest::newRow("reversed") << QByteArray::fromHex("aafa") << 0xAA << false;
    QTest::newRow("gap between") << QByteArray::fromHex("fa00aa") << 0xAA << false;
}

void TstHostbus::echo()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, command);
    QFETCH(bool, found);
    const auto *bytes = reinterpret_cast<const quint8 *>(answer.constData());
    QCOMPARE(hostbus::containsEcho(bytes, answer.size(), quint8(command)), found);
}

QTEST_APPLESS_MAIN(TstHostbus)
#include "tst_hostbus.moc"
