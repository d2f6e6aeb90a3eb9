// The MCU host-bus command processor as a pure byte-stream parser: what each
// command asks of the bus and the answer path, operand counts, bad commands,
// and commands split across writes.
#include "commandprocessor.h"

#include <QtTest>

using sim::CommandProcessor;
using sim::Step;

namespace {

// One completed step as text: "r 12" / "R 1234" read, "w 12 34" / "W 1234 56"
// write, "ans ff", "bad aa", "flush", "done 80", "stall".
QString describe(const Step &step)
{
    auto h2 = [](int v) { return QString::asprintf("%02x", v); };
    switch (step.kind) {
    case Step::BusRead:
        return step.wide ? QString::asprintf("R %04x", step.address) : "r " + h2(step.address);
    case Step::BusWrite:
        return (step.wide ? QString::asprintf("W %04x", step.address) : "w " + h2(step.address)) + " " + h2(step.data);
    case Step::Answer: return "ans " + h2(step.data);
    case Step::BadCommand: return "bad " + h2(step.data);
    case Step::SendImmediate: return "flush";
    case Step::Done: return "done " + h2(step.opcode);
    case Step::Stall: return "stall";
    case Step::Pending:
    case Step::Ignored:
        break;
    }
    return QString();
}

// Feeds hex bytes ('|' marks where one write ends and the next begins: the
// parser's state must carry over) and joins the completed steps with "; ".
QString run(CommandProcessor &processor, const QString &input)
{
    QStringList steps;
    for (const QString &chunk : input.split('|')) {
        for (char byte : QByteArray::fromHex(chunk.toLatin1())) {
            const QString step = describe(processor.feed(uint8_t(byte)));
            if (!step.isEmpty())
                steps << step;
        }
    }
    return steps.join("; ");
}

// The accepted opcodes and their operand counts, as the part documents them.
const QVector<QPair<int, int>> &acceptedOpcodes()
{
    static const QVector<QPair<int, int>> table = {
        {0x80, 2}, {0x81, 0}, {0x82, 2}, {0x83, 0}, {0x84, 0}, {0x85, 0}, {0x86, 2},
        {0x87, 0}, {0x88, 0}, {0x89, 0}, {0x8A, 0}, {0x8B, 0}, {0x8C, 0}, {0x8D, 0},
        {0x8E, 1}, {0x8F, 2}, {0x90, 1}, {0x91, 2}, {0x92, 2}, {0x93, 3}, {0x94, 0},
        {0x95, 0}, {0x96, 0}, {0x97, 0}, {0x9C, 2}, {0x9D, 2},
    };
    return table;
}

} // namespace

class TestCommandProcessor : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void operandCounts_data();
    void operandCounts();
    void everyOtherByteIsBad();
    void stallLastsUntilReset();
    void resetDropsHalfCommand();
};

void TestCommandProcessor::commands_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("steps");

    QTest::newRow("read 8-bit") << "90 12" << "r 12";
    QTest::newRow("read then send immediate") << "90 12 87" << "r 12; flush";
    QTest::newRow("read 16-bit, high byte first") << "91 12 34" << "R 1234";
    QTest::newRow("write 8-bit") << "92 04 80" << "w 04 80";
    QTest::newRow("write 16-bit, high byte first") << "93 12 34 56" << "W 1234 56";
    QTest::newRow("operands that look like opcodes") << "92 90 87" << "w 90 87";
    QTest::newRow("read 8-bit of 0xff") << "90 ff" << "r ff";
    QTest::newRow("pins low") << "81" << "ans ff";
    QTest::newRow("pins high") << "83" << "ans ff";
    QTest::newRow("wait on I/O high passes") << "88 aa" << "done 88; bad aa";
    QTest::newRow("wait on I/O low stalls") << "89 aa 90 01 87" << "stall";
    QTest::newRow("bad 0xaa") << "aa" << "bad aa";
    QTest::newRow("bad 0xab") << "ab" << "bad ab";
    QTest::newRow("bad marker byte") << "fa" << "bad fa";
    QTest::newRow("bad 0x00") << "00" << "bad 00";
    QTest::newRow("bad 0x98") << "98" << "bad 98";
    QTest::newRow("bad between commands") << "aa 92 01 02 ab" << "bad aa; w 01 02; bad ab";
    QTest::newRow("split write 16-bit") << "93 12|34 56" << "W 1234 56";
    QTest::newRow("split after opcode") << "90|12 87" << "r 12; flush";
    QTest::newRow("half command swallows the next write") << "92 04|aa 87" << "w 04 aa; flush";
    QTest::newRow("echo exchange") << "aa|ab" << "bad aa; bad ab";
}

void TestCommandProcessor::commands()
{
    QFETCH(QString, input);
    QFETCH(QString, steps);
    CommandProcessor processor;
    QCOMPARE(run(processor, input), steps);
}

void TestCommandProcessor::operandCounts_data()
{
    QTest::addColumn<int>("opcode");
    QTest::addColumn<int>("operands");
    for (const auto &entry : acceptedOpcodes()) {
        if (entry.first != sim::OpWaitIoLow) // stalls; see stallLastsUntilReset
            QTest::addRow("0x%02x", entry.first) << entry.first << entry.second;
    }
}

void TestCommandProcessor::operandCounts()
{
    QFETCH(int, opcode);
    QFETCH(int, operands);
    CommandProcessor processor;
    // Operands of 0xaa: were one too few taken, the next 0xaa would be one.
    Step step = processor.feed(uint8_t(opcode));
    for (int i = 0; i < operands; ++i) {
        QCOMPARE(int(step.kind), int(Step::Pending));
        step = processor.feed(0xAA);
    }
    QVERIFY2(step.kind != Step::Pending && step.kind != Step::BadCommand, qPrintable(describe(step)));
    QCOMPARE(int(step.opcode), opcode);
    QVERIFY(processor.betweenCommands());
    QCOMPARE(describe(processor.feed(0xAA)), QString("bad aa"));
}

void TestCommandProcessor::everyOtherByteIsBad()
{
    QSet<int> accepted;
    for (const auto &entry : acceptedOpcodes())
        accepted.insert(entry.first);
    for (int byte = 0; byte < 256; ++byte) {
        if (accepted.contains(byte))
            continue;
        CommandProcessor processor;
        const Step step = processor.feed(uint8_t(byte));
        QVERIFY2(step.kind == Step::BadCommand && step.data == byte,
                 qPrintable(QString::asprintf("byte %02x: %s", byte, qPrintable(describe(step)))));
        QVERIFY(processor.betweenCommands());
    }
}

void TestCommandProcessor::stallLastsUntilReset()
{
    CommandProcessor processor;
    QCOMPARE(run(processor, "89"), QString("stall"));
    QVERIFY(processor.stalled());
    QCOMPARE(int(processor.feed(0xAA).kind), int(Step::Ignored));
    processor.reset();
    QVERIFY(!processor.stalled());
    QCOMPARE(run(processor, "90 01 aa"), QString("r 01; bad aa"));
}

void TestCommandProcessor::resetDropsHalfCommand()
{
    CommandProcessor processor;
    QCOMPARE(run(processor, "93 12 34"), QString());
    QVERIFY(!processor.betweenCommands());
    processor.reset();
    QCOMPARE(run(processor, "aa"), QString("bad aa"));
}

QTEST_GUILESS_MAIN(TestCommandProcessor)
#include "tst_commandprocessor.moc"
