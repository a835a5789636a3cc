#include "TerminalStandIns.h"

#include "ui/remote/TerminalWidget.h"

#include <QSignalSpy>
#include <QtTest>

void endStandIn(TerminalWidget* terminal)
{
    QVERIFY(terminal);
    QSignalSpy finished(terminal, &TerminalWidget::processFinished);
    terminal->sendText(QStringLiteral("\x04"));
    QVERIFY(finished.wait(20000));
}
