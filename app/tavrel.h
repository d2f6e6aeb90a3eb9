#ifndef TAVREL_TAVREL_H
#define TAVREL_TAVREL_H

#include "ui_tavrel.h"

#include <QMainWindow>

class FtTask;

// The one window: two entry fields (index, hex value) and two buttons that
// edit the worker's register image. It owns the worker and is the only place
// the worker is started and stopped.
class Tavrel : public QMainWindow
{
    Q_OBJECT

public:
    explicit Tavrel(QWidget *parent = nullptr);
    ~Tavrel() override;

    // For tests: the worker this window drives. Not a slot, so the window's
    // meta-object keeps exactly its two button slots.
    FtTask *worker() const { return task; }

public slots:
    void onBtnWrite();
    void onBtnClearAll();

private:
    Ui::TavrelClass ui;
    FtTask *task;
};

#endif
