#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

// Answers modal dialogs as a person would: each queued action is applied to
// the next modal widget that appears (QApplication::activeModalWidget), in
// order. Queue the actions, then trigger the code that opens the dialogs.
class ModalDriver : public QObject
{
    Q_OBJECT
public:
    using Action = std::function<void(QWidget*)>;

    explicit ModalDriver(QObject* parent = nullptr);

    void enqueue(const Action& action);
    // QInputDialog: type the text (or pick the item) and press OK.
    void typeText(const QString& text);
    // QInputDialog: press Cancel.
    void cancelInput();
    // Widget-based QFileDialog: choose the path and accept.
    void chooseFile(const QString& path);
    // QMessageBox: press the button.
    void pressButton(QMessageBox::StandardButton button);
    // Any dialog: accept() or reject().
    void accept();
    void reject();

    int pending() const { return actions.size(); }
    // Window titles and message-box texts of every modal widget handled so far.
    QStringList titles;
    QStringList texts;

private:
    void poll();

    QList<Action> actions;
    QList<QPointer<QWidget>> handled;
    QTimer timer;
};
