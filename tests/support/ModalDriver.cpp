#include "ModalDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>

ModalDriver::ModalDriver(QObject* parent)
    : QObject(parent)
{
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
    timer.start();
}

void ModalDriver::enqueue(const Action& action)
{
    actions.append(action);
}

void ModalDriver::typeText(const QString& text)
{
    enqueue([text](QWidget* w) {
        if (auto* input = qobject_cast<QInputDialog*>(w)) {
            if (input->inputMode() == QInputDialog::IntInput)
                input->setIntValue(text.toInt());
            else
                input->setTextValue(text);
            input->accept();
        }
    });
}

void ModalDriver::cancelInput()
{
    reject();
}

void ModalDriver::chooseFile(const QString& path)
{
    enqueue([path](QWidget* w) {
        if (auto* dialog = qobject_cast<QFileDialog*>(w)) {
            dialog->selectFile(path);
            static_cast<QDialog*>(dialog)->accept();
        }
    });
}

void ModalDriver::pressButton(QMessageBox::StandardButton button)
{
    enqueue([button](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            if (QAbstractButton* b = box->button(button))
                b->click();
        }
    });
}

void ModalDriver::accept()
{
    enqueue([](QWidget* w) {
        if (auto* dialog = qobject_cast<QDialog*>(w))
            dialog->accept();
    });
}

void ModalDriver::reject()
{
    enqueue([](QWidget* w) {
        if (auto* dialog = qobject_cast<QDialog*>(w))
            dialog->reject();
    });
}

void ModalDriver::poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || actions.isEmpty())
        return;
    for (const QPointer<QWidget>& done : handled) {
        if (done == modal)
            return;
    }
    handled.append(modal);
    titles << modal->windowTitle();
    if (auto* box = qobject_cast<QMessageBox*>(modal))
        texts << box->text();
    else if (auto* input = qobject_cast<QInputDialog*>(modal))
        texts << input->labelText();
    else
        texts << QString();
    const Action action = actions.takeFirst();
    action(modal);
}
