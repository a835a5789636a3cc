#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>

class QFileDialog;
class QInputDialog;

// Answers modal dialogs as a person would: each queued answer goes to the next
// modal widget that appears (QApplication::activeModalWidget), in order. Queue
// the answers, then trigger the code that opens the dialogs.
//
// No answer is ever given up silently, and no test waits for ever:
// - an answer meant for one kind of dialog that meets another (a message box
//   where a file dialog was expected) fails the test, naming the widget's
//   class and title, and closes that widget;
// - a modal widget that nothing answers, or that is still open once answered,
//   is closed after answerTimeoutMs and fails the test with its title;
// - answers still queued when the driver goes away fail the test.
class ModalDriver : public QObject
{
    Q_OBJECT
public:
    using Action = std::function<void(QWidget*)>;

    explicit ModalDriver(QObject* parent = nullptr);
    ~ModalDriver() override;

    // Any modal widget, handed over as it is.
    void enqueue(const Action& action);
    // Only a modal widget of class Dialog (or one derived from it).
    template <typename Dialog>
    void enqueueFor(const std::function<void(Dialog*)>& action)
    {
        enqueueStep(&Dialog::staticMetaObject, QStringLiteral("an answer"), [action](QWidget* w, QString*) {
            action(static_cast<Dialog*>(w));
            return Done;
        });
    }

    // QInputDialog: type the text (or pick the item, or enter the number) and press OK.
    void typeText(const QString& text);
    // Any dialog: dismiss it (a prompt's Cancel).
    void cancelInput();
    // Widget-based QFileDialog: type the absolute path into the file-name
    // field and accept once the dialog has taken exactly that path.
    // `inspect`, if given, sees the dialog first (its suggested name, say).
    void chooseFile(const QString& path, const std::function<void(QFileDialog*)>& inspect = {});
    // QMessageBox: press the button.
    void pressButton(QMessageBox::StandardButton button);
    // Answers the dialogs a workflow opens, in order: "<cancel>", "<yes>",
    // "<no>", "<ok>", "<file:PATH>", or a text to type.
    void answerInOrder(const QStringList& script);
    // Any dialog: accept() or reject().
    void accept();
    void reject();

    int pending() const { return int(steps.size()); }

    // How long a modal widget may wait for its answer, or stay open after it.
    int answerTimeoutMs = 10000;
    // Where failures go; empty: the running test fails.
    std::function<void(const QString&)> onFailure;

    // Window titles and message-box (or prompt) texts of every modal widget
    // met so far, answered or not.
    QStringList titles;
    QStringList texts;

private:
    enum Outcome { Done, NotReady, Refused };
    using Step = std::function<Outcome(QWidget*, QString* why)>;
    struct Queued {
        const QMetaObject* kind;
        QString what;
        Step run;
    };

    void enqueueStep(const QMetaObject* kind, const QString& what, const Step& run);
    void poll();
    void answer(QPointer<QWidget> target);
    void fail(QWidget* modal, const QString& message);
    void record(QWidget* modal);

    QList<Queued> steps;
    QList<QPointer<QWidget>> handled;
    QPointer<QWidget> watched;
    QElapsedTimer watchedSince;
    QString lastRefusal;
    bool answerPosted = false;
    int answering = 0;
    QTimer timer;
};
