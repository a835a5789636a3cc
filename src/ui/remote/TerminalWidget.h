#pragma once

#include <QByteArray>
#include <QColor>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextCharFormat>
#include <QWidget>

#include "ui/remote/TerminalTheme.h"

#include <memory>

class TerminalScreen;
#include <vector>


class QKeyEvent;
class QPlainTextEdit;
class QResizeEvent;
class QSocketNotifier;
class QTextCursor;
class QTimer;

// One terminal: a program on a pseudo-terminal and the text view that shows
// what it writes, in colour. Key presses go to the program while it runs.
class TerminalWidget : public QWidget
{
    Q_OBJECT
public:
    explicit TerminalWidget(QWidget* parent = nullptr);
    ~TerminalWidget() override;

    // Starts the program (looked up on PATH) with the arguments on a new
    // pseudo-terminal of 40 rows by 120 columns. False while a session runs or
    // when no pseudo-terminal could be made.
    bool startProcess(const QString& program, const QStringList& args);
    // ssh [-l user] [-p port] [-i keyPath] host; the title is "user@host".
    bool startSsh(const QString& host, const QString& user, int port, const QString& keyPath);
    // Writes the text as UTF-8 to the program while it runs.
    void sendText(const QString& text);

    bool isRunning() const { return running; }
    QString title() const { return sessionTitle; }

    static QList<TerminalTheme> availableThemes();
    void setTheme(const TerminalTheme& theme);
    TerminalTheme currentTheme() const { return theme; }

    // Interprets one chunk of program output. What it changes is shown at
    // once after a pause, else with the next frame.
    void processOutput(const QByteArray& data);
    // Appends text at the end of the view; an invalid colour means none.
    void appendText(const QString& text, const QColor& fg, const QColor& bg);
    // Sends pasted text to the program: marked as a paste when the program
    // asked for that (so a shell runs none of it before Return), else as if
    // typed, a line break as Return.
    void pasteText(const QString& text);

    // The size the program is told its terminal has, which is where lines
    // wrap; the view sets it from its own size whenever a program runs.
    void setScreenSize(int columns, int rows);

    // How long the end of a session waits for the child to be reaped before
    // it reports -1 and reaps it later; tests shorten it.
    int reapWaitMs = 500;
    // Output is shown at most once in this many milliseconds while it
    // streams in: a chunk arrives far more often than a screen can show it,
    // and laying out each one would cost more than reading it. 0 shows every
    // chunk at once.
    int frameMs = 30;
    // Rows the view keeps, and characters: the oldest fall away at the top,
    // many at a time, so that a frame's cost depends on what it adds.
    int maxBlocks = 10000;
    int maxCharacters = 4 * 1024 * 1024;

Q_SIGNALS:
    void processStarted();
    void processFinished(int exitCode);
    void titleChanged(const QString& title);

public Q_SLOTS:
    void onReadyRead();
    void onProcessFinished();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QByteArray bytesForKey(const QKeyEvent* event) const;
    void sendKey(QKeyEvent* event);
    void updateWindowSize();
    void scheduleFrame();
    // everything: all the finished rows that wait, however many.
    void showOutput(bool everything = false);
    bool dropRowsBeyondTheView();
    void insertRun(QTextCursor& cursor, const QString& text, quint16 style);
    const QTextCharFormat& formatFor(quint16 style);
    void closeSession();
    void trimOldBlocks();
    void forgetShownLine();
    bool pasteShortcut(const QKeyEvent* event) const;

    QPlainTextEdit* view = nullptr;
    QSocketNotifier* notifier = nullptr;
    int masterFd = -1;
    int childPid = -1;
    TerminalTheme theme;
    QString sessionTitle = QStringLiteral("Terminal");
    bool running = false;

    bool childReaped = true;
    QString pendingTitle;           // set by startSsh for the start it makes
    std::unique_ptr<TerminalScreen> screen;
    // The current line's rows are the view's last shownRows blocks; the
    // first is shown from this position of its block (text appended by
    // appendText may come before it).
    int lineOffset = 0;
    int shownRows = 1;
    // The current line's rows as the last frame showed them, joined by line
    // breaks, with the style of each character.
    QString shownText;
    std::vector<quint16> shownStyles;
    bool outputPending = false;
    bool readSinceShown = false;
    QTimer* frameTimer = nullptr;
    QElapsedTimer sinceShown;
    qint64 lastShowMs = 0;
    // Formats by style, built once each.
    QList<QTextCharFormat> formats;
};
