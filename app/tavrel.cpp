#include "tavrel.h"

#include "fttask.h"

#include <QIntValidator>
#include <QRegExp>
#include <QRegExpValidator>

namespace {

// The index field's validator: digits only. The plain integer validator also
// lets a sign or the locale's group separator stand ("+", "2,", "1,5"), and the
// write action would then store at position 0.
class IndexValidator : public QIntValidator
{
public:
    IndexValidator(int bottom, int top, QObject *parent)
        : QIntValidator(bottom, top, parent)
    {
    }

    State validate(QString &input, int &pos) const override
    {
        for (const QChar c : qAsConst(input)) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        }
        return QIntValidator::validate(input, pos);
    }
};

} // namespace

Tavrel::Tavrel(QWidget *parent)
    : QMainWindow(parent)
{
    task = nullptr;
    ui.setupUi(this);

    // Started before the window is shown, so the worker is already looking for
    // the bridge while the window is being finished.
    task = new FtTask();
    task->start(QThread::InheritPriority);

    // Index field: a position of the 30-byte register image, 0..29.
    ui.lineEdit->setValidator(new IndexValidator(0, 29, this));
    // Value field: up to four hex digits; the write action keeps only the low byte.
    QRegExp hexValue(QStringLiteral("[a-fA-F0-9]{4}"), Qt::CaseSensitive, QRegExp::RegExp);
    ui.lineEdit_2->setValidator(new QRegExpValidator(hexValue, this));

    connect(ui.pushButton, &QAbstractButton::clicked, this, &Tavrel::onBtnWrite);
    connect(ui.pushButton_2, &QAbstractButton::clicked, this, &Tavrel::onBtnClearAll);
}

Tavrel::~Tavrel()
{
    // Joins the worker thread, so nothing it does can outlive the widgets the
    // base destructor is about to delete.
    if (task)
        delete task;
    task = nullptr;
}

void Tavrel::onBtnWrite()
{
    // A field left empty means "not meant yet": no change, no send.
    if (ui.lineEdit->text().isEmpty())
        return;
    if (ui.lineEdit_2->text().isEmpty())
        return;

    // Positions outside the image are ignored by the worker, but the send is
    // still requested (the operator pressed the button).
    const int position = ui.lineEdit->text().toInt(nullptr, 10);
    // Registers are one byte wide: higher hex digits are dropped, not refused.
    const quint8 value =
        static_cast<quint8>((QStringLiteral("0x") + ui.lineEdit_2->text()).toUInt(nullptr, 16) & 0xFF);

    // Image first, request second: a frame sent for this request carries the byte.
    task->setData(position, value);
    task->requestSend();
}

void Tavrel::onBtnClearAll()
{
    task->clearData();
    task->requestSend();
}
