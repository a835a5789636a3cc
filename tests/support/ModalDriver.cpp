#include "ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QtTest>

namespace {

QString describe(QWidget* w)
{
    QString text = QStringLiteral("%1 \"%2\"").arg(QString::fromLatin1(w->metaObject()->className()),
                                                   w->windowTitle());
    if (auto* box = qobject_cast<QMessageBox*>(w))
        text += QStringLiteral(" (%1)").arg(box->text());
    else if (auto* input = qobject_cast<QInputDialog*>(w))
        text += QStringLiteral(" (%1)").arg(input->labelText());
    return text;
}

} // namespace

ModalDriver::ModalDriver(QObject* parent)
    : QObject(parent)
{
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
    timer.start();
}

ModalDriver::~ModalDriver()
{
    // After an earlier failure, unused answers are its consequence, not news.
    if (steps.isEmpty() || QTest::currentTestFailed())
        return;
    QStringList unused;
    for (const Queued& step : std::as_const(steps))
        unused << step.what;
    fail(nullptr, QStringLiteral("%1 answer(s) never used: %2").arg(steps.size()).arg(unused.join(QStringLiteral("; "))));
}

void ModalDriver::enqueueStep(const QMetaObject* kind, const QString& what, const Step& run)
{
    steps.append({kind, what, run});
}

void ModalDriver::enqueue(const Action& action)
{
    enqueueStep(&QWidget::staticMetaObject, QStringLiteral("an answer"), [action](QWidget* w, QString*) {
        action(w);
        return Done;
    });
}

void ModalDriver::typeText(const QString& text)
{
    enqueueStep(&QInputDialog::staticMetaObject, QStringLiteral("typing \"%1\"").arg(text),
                [text](QWidget* w, QString* why) {
                    auto* input = static_cast<QInputDialog*>(w);
                    // Each mode quietly keeps its old value for input it cannot
                    // take (a number out of range, an item not in the list).
                    bool taken = false;
                    if (input->inputMode() == QInputDialog::IntInput) {
                        input->setIntValue(text.toInt());
                        taken = QString::number(input->intValue()) == text;
                    } else if (input->inputMode() == QInputDialog::DoubleInput) {
                        input->setDoubleValue(text.toDouble());
                        taken = input->doubleValue() == text.toDouble();
                    } else {
                        input->setTextValue(text);
                        taken = input->textValue() == text;
                    }
                    if (!taken) {
                        *why = QStringLiteral("it does not take \"%1\"").arg(text);
                        return Refused;
                    }
                    input->accept();
                    return Done;
                });
}

void ModalDriver::cancelInput()
{
    reject();
}

void ModalDriver::chooseFile(const QString& path, const std::function<void(QFileDialog*)>& inspect)
{
    enqueueStep(&QFileDialog::staticMetaObject, QStringLiteral("choosing %1").arg(path),
                [path, inspect, inspected = false](QWidget* w, QString* why) mutable {
                    auto* dialog = static_cast<QFileDialog*>(w);
                    if (QDir::isRelativePath(path)) {
                        *why = QStringLiteral("the path to choose is relative: %1").arg(path);
                        return Refused;
                    }
                    auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                    auto* list = dialog->findChild<QListView*>(QStringLiteral("listView"));
                    if (!nameEdit || !list || !list->selectionModel()) {
                        *why = QStringLiteral("it has no file-name field");
                        return Refused;
                    }
                    if (inspect && !inspected) {
                        inspected = true;
                        inspect(dialog);
                    }
                    // A row selected in the list (the suggested name, say)
                    // outweighs the typed name, and selectFile() leaves the
                    // field alone while it has the focus: clear the selection
                    // and type the path, as a person would.
                    list->selectionModel()->clearSelection();
                    nameEdit->setText(path);
                    const QStringList selected = dialog->selectedFiles();
                    if (selected != QStringList{QDir::cleanPath(path)}) {
                        *why = QStringLiteral("it holds [%1] rather than %2")
                                   .arg(selected.join(QStringLiteral(", ")), path);
                        return NotReady;
                    }
                    // Answered from a posted event, so a question this opens
                    // (replace the existing file?) is answered by the next step.
                    static_cast<QDialog*>(dialog)->accept();
                    return Done;
                });
}

void ModalDriver::pressButton(QMessageBox::StandardButton button)
{
    enqueueStep(&QMessageBox::staticMetaObject,
                QStringLiteral("pressing %1")
                    .arg(QString::fromLatin1(QMetaEnum::fromType<QMessageBox::StandardButtons>().valueToKey(button))),
                [button](QWidget* w, QString* why) {
                    QAbstractButton* b = static_cast<QMessageBox*>(w)->button(button);
                    if (!b) {
                        *why = QStringLiteral("it has no such button");
                        return Refused;
                    }
                    b->click();
                    return Done;
                });
}

void ModalDriver::accept()
{
    enqueueStep(&QDialog::staticMetaObject, QStringLiteral("accepting"), [](QWidget* w, QString*) {
        static_cast<QDialog*>(w)->accept();
        return Done;
    });
}

void ModalDriver::reject()
{
    enqueueStep(&QDialog::staticMetaObject, QStringLiteral("rejecting"), [](QWidget* w, QString*) {
        static_cast<QDialog*>(w)->reject();
        return Done;
    });
}

void ModalDriver::record(QWidget* modal)
{
    titles << modal->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(modal))
        texts << box->text();
    else if (auto* input = qobject_cast<QInputDialog*>(modal))
        texts << input->labelText();
    else
        texts << QString();
}

void ModalDriver::fail(QWidget* modal, const QString& message)
{
    // Closing the widget ends the exec() the test is waiting in. Should it
    // stay open all the same, the next report waits for another full period.
    watchedSince.start();
    if (modal) {
        handled.append(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }
    const QString text = QStringLiteral("ModalDriver: ") + message;
    if (onFailure)
        onFailure(text);
    else
        QTest::qFail(qPrintable(text), __FILE__, __LINE__);
}

void ModalDriver::poll()
{
    if (answerPosted)
        return;
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != watched) {
        watched = modal;
        watchedSince.start();
        lastRefusal.clear();
    }
    if (!modal)
        return;
    handled.removeAll(QPointer<QWidget>());
    const bool overdue = watchedSince.elapsed() > answerTimeoutMs;

    if (handled.contains(modal)) {
        // An answer at work (one that runs a nested dialog, say) is not stuck.
        if (answering == 0 && overdue)
            fail(modal, QStringLiteral("%1 is still open %2 ms after its answer").arg(describe(modal)).arg(answerTimeoutMs));
        return;
    }
    if (steps.isEmpty()) {
        if (overdue) {
            record(modal);
            fail(modal, QStringLiteral("nothing answered %1 within %2 ms").arg(describe(modal)).arg(answerTimeoutMs));
        }
        return;
    }
    const Queued& next = steps.first();
    if (!next.kind->cast(modal)) {
        record(modal);
        fail(modal, QStringLiteral("%1 (for a %2) met %3").arg(next.what, QString::fromLatin1(next.kind->className()), describe(modal)));
        return;
    }
    if (overdue) {
        record(modal);
        fail(modal, QStringLiteral("%1 could not answer %2: %3").arg(next.what, describe(modal), lastRefusal));
        return;
    }
    // The answer runs from a posted event rather than from this timer's slot:
    // the timer does not fire again while its slot runs, and a dialog that the
    // answer opens in turn needs the next poll.
    answerPosted = true;
    QMetaObject::invokeMethod(this, [this, target = QPointer<QWidget>(modal)] { answer(target); }, Qt::QueuedConnection);
}

void ModalDriver::answer(QPointer<QWidget> target)
{
    answerPosted = false;
    if (!target || QApplication::activeModalWidget() != target || steps.isEmpty())
        return;
    const Queued step = steps.takeFirst();
    handled.append(target);
    record(target);
    QString why;
    ++answering;
    const Outcome outcome = step.run(target, &why);
    --answering;
    if (outcome == Done)
        return;
    if (outcome == NotReady) {
        // Tried again at the next poll, until the time limit.
        titles.removeLast();
        texts.removeLast();
        handled.removeAll(target);
        steps.prepend(step);
        lastRefusal = why;
        return;
    }
    fail(target, QStringLiteral("%1 could not answer %2: %3").arg(step.what, describe(target), why));
}

void ModalDriver::answerInOrder(const QStringList& script)
{
    for (const QString& step : script) {
        if (step == QLatin1String("<cancel>"))
            cancelInput();
        else if (step == QLatin1String("<yes>"))
            pressButton(QMessageBox::Yes);
        else if (step == QLatin1String("<no>"))
            pressButton(QMessageBox::No);
        else if (step == QLatin1String("<ok>"))
            pressButton(QMessageBox::Ok);
        else if (step.startsWith(QLatin1String("<file:")))
            chooseFile(step.mid(6, step.size() - 7));
        else
            typeText(step);
    }
}
