// The MCU host-bus command processor as a pure byte-stream parser: what each
// command asks of the bus and the answer path, operand counts, bad commands
// and resets. (Commands split across writes: tst_simbridge, through FT_Write.)
#include "commandprocessor.h"

#include <QtTest>

using sim::Step;

namespace {

// One completed step as text: "r 12" / "R 1234" read, "w 12 34" / "W 1234 56"
// write, "ans ff", "bad aa", "flush", "done 80", "stall".
QString describe(const Step &step)
{
    const QString address = QString::asprintf(step.wide ? "%04x" : "%02x", step.address);
    const QString data = QString::asprintf("%02x", step.data);
    switch (step.kind) {
    case Step::BusRead: return (step.wide ? "R " : "r ") + address;
    case Step::BusWrite: return (step.wide ? "W " : "w ") + address + " " + data;
    case Step::Answer: return "ans " + data;
    case Step::BadCommand: return "bad " + data;
    case Step::SendImmediate: return "flush";
    case Step::Done: return QString::asprintf("done %02x", step.opcode);
    case Step::Stall: return "stall";
    default: return QString(); // pending, or swallowed by a stalled processor
    }
}

// Feeds hex bytes to a new processor ('|' resets it there) and joins the
// completed steps with "; ".
QString run(const QString &input)
{
    sim::CommandProcessor processor;
    QStringList steps;
    for (const QString &chunk : input.split('|')) {
        processor.reset();
        for (char byte : QByteArray::fromHex(chunk.toLatin1()))
            steps << describe(processor.feed(uint8_t(byte)));
    }
    steps.removeAll(QString());
    return steps.join("; ");
}

} // namespace

class TestCommandProcessor : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
};

void TestCommandProcessor::commands_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("steps");
    QTest::newRow("read 16-bit, high byte first") << "91 12 34" << "R 1234";
    QTest::newRow("write 8-bit") << "92 04 80" << "w 04 80";
    QTest::newRow("write 16-bit, high byte first") << "93 12 34 56" << "W 1234 56";
    QTest::newRow("operands that look like opcodes") << "92 90 87" << "w 90 87";
    QTest::newRow("wait on I/O low stalls until reset") << "89 aa 90 01 87|90 01 aa" << "stall; r 01; bad aa";
    QTest::newRow("reset drops half a command") << "93 12 34|aa" << "bad aa";

    // Every other byte, with 0xaa operands and one 0xaa more: had the
    // processor taken one operand too few or too many, the steps would not
    // end in one "bad aa". The operand counts of the opcodes the part accepts
    // in this mode, and what they do when it is not "done"; any other byte is
    // a bad command.
    const QMap<int, int> operands = {
        {0x80, 2}, {0x81, 0}, {0x82, 2}, {0x83, 0}, {0x84, 0}, {0x85, 0}, {0x86, 2},
        {0x87, 0}, {0x88, 0}, {0x8A, 0}, {0x8B, 0}, {0x8C, 0}, {0x8D, 0}, {0x8E, 1},
        {0x8F, 2}, {0x90, 1}, {0x91, 2}, {0x92, 2}, {0x93, 3}, {0x94, 0}, {0x95, 0},
        {0x96, 0}, {0x97, 0}, {0x9C, 2}, {0x9D, 2},
    };
    const QMap<int, QString> effects = {
        {0x81, "ans ff"}, {0x83, "ans ff"}, {0x87, "flush"}, {0x90, "r aa"},
        {0x91, "R aaaa"}, {0x92, "w aa aa"}, {0x93, "W aaaa aa"},
    };
    for (int byte = 0; byte < 256; ++byte) {
        const int count = operands.value(byte, -1);
        const QString first = count < 0 ? QString::asprintf("bad %02x", byte)
                                        : effects.value(byte, QString::asprintf("done %02x", byte));
        if (byte != sim::OpWaitIoLow)
            QTest::addRow("0x%02x", byte) << QString::asprintf("%02x", byte) + QString(" aa").repeated(qMax(count, 0) + 1)
                                          << first + "; bad aa";
    }
}

void TestCommandProcessor::commands()
{
    QFETCH(QString, input);
    QFETCH(QString, steps);
    QCOMPARE(run(input), steps);
}

QTEST_GUILESS_MAIN(TestCommandProcessor)
#include "tst_commandprocessor.moc"
