// Generated operator input: random keys typed into the window's two entry
// fields (so their validators act), then the write button. The image may
// change only at the position the index field names, only to the low byte of
// the value field's hex text, and only when both fields hold text.
//
// TAVREL_INPUT_ROUNDS sets the number of rounds, TAVREL_INPUT_SEED the seed.
#include "fttask.h"
#include "simcontrol.h"
#include "tavrel.h"

#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <array>
#include <cstdio>
#include <random>

#if defined(__SANITIZE_ADDRESS__)
#define TAVREL_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVREL_LSAN 1
#endif
#endif
#ifdef TAVREL_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

constexpr unsigned defaultSeed = 4242;
constexpr unsigned defaultRounds = 5000;
constexpr int longestTyping = 8;

using Image = std::array<quint8, FtTask::ImageSize>;

// What an operator might type, well beyond what the fields accept: digits of
// both kinds, hex letters in both cases, signs, separators, letters, Latin-1
// and wider characters (a full-width one, an Arabic-Indic digit, a CJK one).
const QString alphabet = QStringLiteral("0123456789abcdefABCDEF0123456789xXgG+-.,  \t#_") + QChar(0xE9)
    + QChar(0xDF) + QChar(0xFF11) + QChar(0x0663) + QChar(0x4E2D);
// Editing keys among the characters.
const Qt::Key editingKeys[] = {Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Home, Qt::Key_End, Qt::Key_Left};

Image imageOf(const FtTask &task)
{
    Image image;
    for (int i = 0; i < FtTask::ImageSize; ++i)
        image[size_t(i)] = task.data(i);
    return image;
}

QString hex(const Image &image)
{
    return QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size())).toHex(' ');
}

unsigned envNumber(const char *name, unsigned fallback)
{
    bool ok = false;
    const unsigned value = qEnvironmentVariable(name).toUInt(&ok);
    return ok ? value : fallback;
}

QtMessageHandler previousHandler = nullptr;
int warnings = 0; // GUI thread only: the worker logs debug lines alone

void countWarnings(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // The offscreen platform's notice when a main window is shown: not the program's.
    if (type != QtDebugMsg && type != QtInfoMsg && text != QLatin1String("This plugin does not support propagateSizeHints()"))
        ++warnings;
    if (type != QtDebugMsg)
        previousHandler(type, context, text);
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
    const unsigned rounds = envNumber("TAVREL_INPUT_ROUNDS", defaultRounds);
    const unsigned seed = envNumber("TAVREL_INPUT_SEED", defaultSeed);
    std::printf("operator input: %u rounds, seed %u (TAVREL_INPUT_ROUNDS, TAVREL_INPUT_SEED)\n", rounds, seed);
    std::mt19937 random(seed);

    sim::setParts({}); // no bridge: only the image is judged, and the worker stays idle
    previousHandler = qInstallMessageHandler(countWarnings);
    Tavrel window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *index = window.findChild<QLineEdit *>("lineEdit");
    auto *value = window.findChild<QLineEdit *>("lineEdit_2");
    auto *write = window.findChild<QPushButton *>("pushButton");
    auto *clear = window.findChild<QPushButton *>("pushButton_2");
    QVERIFY(index && value && write && clear);
    const FtTask &task = *window.worker();

    const QIntValidator indexRule(0, 29);
    const QRegularExpression valueRule("^[0-9A-Fa-f]{0,4}$");
    int writes = 0, changes = 0, clears = 0, unreadable = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        for (QLineEdit *field : {index, value}) {
            if (random() % 4 != 0) // otherwise type on after what is there
                field->clear();
            const int length = int(random() % (longestTyping + 1));
            for (int k = 0; k < length; ++k) {
                if (random() % 8 == 0) {
                    QTest::keyClick(field, editingKeys[random() % (sizeof editingKeys / sizeof editingKeys[0])]);
                } else {
                    const QChar c = alphabet.at(int(random() % unsigned(alphabet.size())));
                    if (c.unicode() < 0x80)
                        QTest::keyClicks(field, QString(c));
                    else // beyond Latin-1 the key is unknown; the text is what counts
                        QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, QString(c), Qt::NoModifier);
                }
            }
        }
        const QString indexText = index->text();
        const QString valueText = value->text();
        const QString context = QString::asprintf("round %u: index \"%s\" value \"%s\"", round,
                                                  qPrintable(indexText), qPrintable(valueText));
        // What the fields let stand: what an integer rule of 0 to 29 does not
        // refuse (no minus sign, but "32" or "+" while editing), and hex digits up to four.
        QString standing = indexText;
        int cursor = 0;
        QVERIFY2(indexRule.validate(standing, cursor) != QValidator::Invalid, qPrintable(context));
        QVERIFY2(!indexText.contains('-'), qPrintable(context));
        QVERIFY2(valueRule.match(valueText).hasMatch(), qPrintable(context));

        Image expected = imageOf(task);
        if (random() % 16 == 0) {
            QTest::mouseClick(clear, Qt::LeftButton);
            expected.fill(0);
            ++clears;
        } else {
            QTest::mouseClick(write, Qt::LeftButton);
            ++writes;
            // The texts as the action read them: a field that loses the focus
            // to the button has its validator's fix-up applied first ("1,2" becomes "12").
            const QString indexRead = index->text();
            const QString valueRead = value->text();
            if (!indexRead.isEmpty() && !valueRead.isEmpty()) {
                bool isNumber = false;
                const int position = indexRead.toInt(&isNumber, 10);
                unreadable += isNumber ? 0 : 1;
                const quint8 byte = quint8(valueRead.toUInt(nullptr, 16) & 0xFF);
                if (position >= 0 && position < FtTask::ImageSize && expected[size_t(position)] != byte) {
                    expected[size_t(position)] = byte;
                    ++changes;
                }
            }
        }
        const Image actual = imageOf(task);
        QVERIFY2(actual == expected, qPrintable(context + "\nimage    " + hex(actual) + "\nexpected " + hex(expected)));
    }
    std::printf("operator input: %d writes (%d changed a byte, %d at a position read from text that is not a number), "
                "%d clears\n", writes, changes, unreadable, clears);
    QCOMPARE(warnings, 0);
    qInstallMessageHandler(previousHandler);
}

// As QTEST_MAIN, except that under LeakSanitizer the application object is
// built with leak checking paused: the offscreen platform it loads keeps its
// screen objects for the life of the process and never frees them. Pausing
// there, rather than naming Qt's frames, keeps the fast unwinder usable, so
// thousands of rounds still take seconds under the sanitizer.
int main(int argc, char *argv[])
{
#ifdef TAVREL_LSAN
    __lsan_disable();
#endif
    QApplication app(argc, argv);
#ifdef TAVREL_LSAN
    __lsan_enable();
#endif
    app.setAttribute(Qt::AA_Use96Dpi, true);
    tst_OperatorInput test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_operatorinput.moc"
