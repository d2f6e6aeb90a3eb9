// Random keys typed into the two entry fields (their validators act), then write
// or clear: the image changes only at the index field's position (0 to 29), only to
// the value's low byte. TAVREL_INPUT_ROUNDS and TAVREL_INPUT_SEED override rounds and seed.
#include "fttask.h"
#include "simcontrol.h"
#include "tavrel.h"

#include <QtTest>
#include <QtWidgets>

#include <random>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Far beyond what the fields accept, wide characters too; a null character is an editing key.
const QString alphabet = QStringLiteral("0123456789abcdefABCDEF0123456789xXgG+-.,  \t#_") + QChar(0xE9)
    + QChar(0xDF) + QChar(0xFF11) + QChar(0x0663) + QChar(0x4E2D) + QString(6, QChar());
const Qt::Key editingKeys[] = {Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Home, Qt::Key_End, Qt::Key_Left};

QByteArray imageOf(const FtTask &task)
{
    QByteArray image;
    for (int i = 0; i < FtTask::ImageSize; ++i)
        image += char(task.data(i));
    return image;
}

} // namespace

class tst_OperatorInput : public QObject
{
    Q_OBJECT

private slots:
    void generatedInput();
};

void tst_OperatorInput::generatedInput()
{
    const int rounds = qEnvironmentVariableIsSet("TAVREL_INPUT_ROUNDS") ? qEnvironmentVariableIntValue("TAVREL_INPUT_ROUNDS") : 5000;
    const int seed = qEnvironmentVariableIsSet("TAVREL_INPUT_SEED") ? qEnvironmentVariableIntValue("TAVREL_INPUT_SEED") : 4242;
    qInfo("operator input: %d rounds, seed %d (TAVREL_INPUT_ROUNDS, TAVREL_INPUT_SEED)", rounds, seed);
    std::mt19937 random{unsigned(seed)};
    sim::setParts({}); // no bridge: only the image is judged, and the worker stays idle
    Tavrel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *index = window.findChild<QLineEdit *>("lineEdit");
    auto *value = window.findChild<QLineEdit *>("lineEdit_2");
    auto *write = window.findChild<QPushButton *>("pushButton");
    auto *clear = window.findChild<QPushButton *>("pushButton_2");
    QVERIFY(index && value && write && clear);
    const FtTask &task = *window.worker();
    for (int round = 0; round < rounds; ++round) {
        for (QLineEdit *field : {index, value}) {
            if (random() % 4 != 0) // otherwise type on after what is there
                field->clear();
            for (int k = int(random() % 9); k > 0; --k) {
                const QChar c = alphabet.at(int(random() % unsigned(alphabet.size())));
                if (c.isNull())
                    QTest::keyClick(field, editingKeys[random() % 5]);
                else if (c.unicode() < 0x80)
                    QTest::keyClicks(field, QString(c));
                else // beyond ASCII the key is unknown; the text is what counts
                    QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
            }
        }
        const QString typed = QString("round %1: index \"%2\" value \"%3\"").arg(round).arg(index->text(), value->text());
        QByteArray expected = imageOf(task);
        const bool clearing = random() % 16 == 0;
        QTest::mouseClick(clearing ? clear : write, Qt::LeftButton);
        // Read after the click: losing the focus applies a validator's fix-up ("1,2" becomes "12").
        const int position = index->text().toInt(nullptr, 10); // 0 when not a number, as the program reads it
        if (clearing)
            expected.fill('\0');
        else if (!index->text().isEmpty() && !value->text().isEmpty() && position >= 0 && position < FtTask::ImageSize)
            expected[position] = char(value->text().toUInt(nullptr, 16) & 0xFF);
        const QByteArray actual = imageOf(task);
        QVERIFY2(actual == expected, qPrintable(typed + "\nimage    " + actual.toHex(' ') + "\nexpected " + expected.toHex(' ')));
    }
}

// As QTEST_MAIN, but the offscreen platform's screen objects, kept for the
// life of the process, are made with LeakSanitizer paused.
int main(int argc, char *argv[])
{
#ifdef __SANITIZE_ADDRESS__
    __lsan_disable();
#endif
    QApplication app(argc, argv);
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
    tst_OperatorInput test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_operatorinput.moc"
