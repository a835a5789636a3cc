#pragma once

#include <QByteArray>
#include <QColor>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringDecoder>
#include <QStringList>
#include <QTextCharFormat>
#include <QWidget>

class QKeyEvent;
class QPlainTextEdit;
class QResizeEvent;
class QSocketNotifier;
class QTextCursor;
class QTimer;

// A colour scheme of the terminal: view colours and the sixteen-colour palette
// (0-7 normal, 8-15 bright).
struct TerminalTheme
{
    QString name;
    QColor background;
    QColor foreground;
    QColor cursor;      // carried with the theme; the view does not draw it
    QColor selection;
    QColor ansi[16];
};

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

    // Interprets one chunk of program output: text in the current colours,
    // colour (SGR) sequences, other control sequences dropped.
    void processOutput(const QByteArray& data);
    // Appends text at the end of the view; an invalid colour means none.
    void appendText(const QString& text, const QColor& fg, const QColor& bg);

    // How long the end of a session waits for the child to be reaped before
    // it reports -1 and reaps it later; tests shorten it.
    int reapWaitMs = 500;
    // The view is painted at most once in this many milliseconds while
    // output streams in: a chunk arrives far more often than a screen can
    // show it, and painting each one would cost more than reading it.
    int frameMs = 30;
    // Lines the view keeps.
    int maxBlocks = 10000;

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
    // What the byte walk is in the middle of; it survives from chunk to chunk.
    enum class Escape { None, Start, Csi, Osc, OscEscape, Charset };

    QByteArray bytesForKey(const QKeyEvent* event) const;
    void sendKey(QKeyEvent* event);
    void updateWindowSize();
    void applySgr(const QByteArray& parameters);
    void insertRun(QTextCursor& cursor, const QString& text, const QColor& fg, const QColor& bg);
    void writeText(QTextCursor& cursor, const QString& text);
    void eraseToEndOfLine(QTextCursor& cursor);
    void closeSession();
    void trimOldBlocks();

    QPlainTextEdit* view = nullptr;
    QSocketNotifier* notifier = nullptr;
    int masterFd = -1;
    int childPid = -1;
    TerminalTheme theme;
    QString sessionTitle = QStringLiteral("Terminal");
    bool running = false;
    QByteArray escapeBuffer;
    bool inEscape = false;
    QColor currentFg;
    QColor currentBg;
    bool bold = false;

    Escape escape = Escape::None;
    bool childReaped = true;
    QString pendingTitle;           // set by startSsh for the start it makes
    QStringDecoder decoder{QStringDecoder::Utf8};
    // Where the next text goes in the last line: -1 at its end, else the
    // column a carriage return went back to, written over from there.
    int lineColumn = -1;
    QTimer* repaintTimer = nullptr;
    QElapsedTimer sincePaint;
    // The format last used, kept so a run in the same colours builds none.
    QTextCharFormat lastFormat;
    QColor lastFg, lastBg;
    bool lastFormatValid = false;
};
