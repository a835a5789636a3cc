#include "ui/remote/TerminalWidget.h"

#include "app/SshTarget.h"

#include "ui/remote/TerminalScreen.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QMimeData>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>
#include <vector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int readChunk = 4096;
// Output shown in one frame at most, so that laying it out never stalls
// the window.
constexpr qsizetype maxFrameCharacters = 64 * 1024;

const QColor exitOkColor(QStringLiteral("#22c55e"));
const QColor exitFailColor(QStringLiteral("#dc2626"));

// A child whose terminal is gone but that has not been reaped: poll for it so
// it does not linger as a zombie. One that outlives its SIGTERM and the
// hang-up for long is killed: the user closed its tab.
void reapInBackground(pid_t pid, bool killWhenStuck)
{
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(50);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, pid, killWhenStuck, ticks = 0]() mutable {
        const pid_t reaped = ::waitpid(pid, nullptr, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno != EINTR)) {
            timer->deleteLater();
            return;
        }
        if (killWhenStuck && ++ticks == 100)
            ::kill(pid, SIGKILL);
    });
    timer->start();
}

// What the user types or pastes goes to the program whole; a terminal that
// is gone takes nothing and says so to nobody.
void writeToTerminal(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += written;
    }
}

// Strings the child receives, built before the fork: between fork and exec
// the child may not allocate (another thread can hold the allocator's lock).
struct ChildStart
{
    std::vector<QByteArray> storage;
    std::vector<char*> argv;
    std::vector<char*> envp;

    ChildStart(const QString& program, const QStringList& args)
    {
        std::vector<QByteArray> arguments;
        arguments.push_back(program.toUtf8());
        for (const QString& arg : args)
            arguments.push_back(arg.toUtf8());
        std::vector<QByteArray> environment;
        for (char** entry = environ; entry && *entry; ++entry) {
            const QByteArray variable(*entry);
            if (variable.startsWith("TERM=") || variable.startsWith("COLORTERM=")
                || variable.startsWith("LANG="))
                continue;
            environment.push_back(variable);
        }
        environment.push_back("TERM=xterm-256color");
        environment.push_back("COLORTERM=truecolor");
        environment.push_back("LANG=en_US.UTF-8");

        storage = arguments;
        storage.insert(storage.end(), environment.begin(), environment.end());
        for (size_t i = 0; i < storage.size(); ++i) {
            char* text = storage[i].data();
            (i < arguments.size() ? argv : envp).push_back(text);
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
};

// The view hands what is pasted or dropped into it to the terminal, which
// sends it to the program while one runs; without one it is a plain editor.
class TerminalView : public QPlainTextEdit
{
public:
    using Paste = std::function<bool(const QString&)>;
    TerminalView(QWidget* parent, Paste paste) : QPlainTextEdit(parent), paste(std::move(paste)) {}

protected:
    void insertFromMimeData(const QMimeData* source) override
    {
        if (source && source->hasText() && paste(source->text()))
            return;
        QPlainTextEdit::insertFromMimeData(source);
    }

private:
    Paste paste;
};

// Between fork and exec the child runs with the parent's signal handlers
// until it replaces itself: a signal arriving there (the SIGTERM of a tab
// closed at once) would run the parent's handler in the child, which may
// take a lock a thread of the parent held at the fork and wait for ever. So
// every signal is held across the fork, and the child sets every handler back
// to the default before it lets them through.
class SignalsHeld
{
public:
    SignalsHeld()
    {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

    // In the child only: async-signal-safe calls alone.
    void resetInChild() const
    {
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        ::sigemptyset(&standard.sa_mask);
        for (int number = 1; number < NSIG; ++number) {
            if (number != SIGKILL && number != SIGSTOP)
                ::sigaction(number, &standard, nullptr);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

private:
    sigset_t previous;
};

QList<QColor> colours(std::initializer_list<const char*> names)
{
    QList<QColor> list;
    for (const char* name : names)
        list << QColor(QLatin1String(name));
    return list;
}

TerminalTheme makeTheme(const char* name, std::initializer_list<const char*> view,
                        std::initializer_list<const char*> palette)
{
    TerminalTheme theme;
    theme.name = QString::fromLatin1(name);
    const QList<QColor> v = colours(view);
    theme.background = v.value(0);
    theme.foreground = v.value(1);
    theme.cursor = v.value(2);
    theme.selection = v.value(3);
    const QList<QColor> p = colours(palette);
    for (int i = 0; i < 16; ++i)
        theme.ansi[i] = p.value(i);
    return theme;
}

} // namespace

TerminalWidget::TerminalWidget(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    view = new TerminalView(this, [this](const QString& text) {
        if (!running)
            return false;
        pasteText(text);
        return true;
    });
    view->setReadOnly(false);
    // Debian has no "SF Mono": without the hint the fallback is proportional.
    QFont font(QStringLiteral("SF Mono"), 13);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    view->setFont(font);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Older rows fall away at the top once there are more than maxBlocks;
    // trimOldBlocks() removes them many at a time, because the document's
    // own limit removes them one by one, laying out each first.
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Program output is no edit to undo, and an undo history of every chunk
    // would grow without bound.
    view->setUndoRedoEnabled(false);
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    layout->addWidget(view);

    const QList<TerminalTheme> themes = availableThemes();
    screen = std::make_unique<TerminalScreen>(themes.value(0));
    if (!themes.isEmpty())
        setTheme(themes.first());

    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(view);

    frameTimer = new QTimer(this);
    frameTimer->setSingleShot(true);
    connect(frameTimer, &QTimer::timeout, this, [this] { showOutput(); });
}

TerminalWidget::~TerminalWidget()
{
    if (running && childPid >= 1)
        ::kill(childPid, SIGTERM);
    closeSession();
}

// Closes the master (the child's terminal hangs up) and sees that the child
// is reaped, now or in the background.
void TerminalWidget::closeSession()
{
    if (notifier) {
        notifier->setEnabled(false);
        delete notifier;
        notifier = nullptr;
    }
    if (masterFd >= 0) {
        ::close(masterFd);
        masterFd = -1;
    }
    if (childPid >= 1 && !childReaped) {
        if (::waitpid(childPid, nullptr, WNOHANG) != childPid)
            reapInBackground(childPid, true);
        childReaped = true;
    }
}

bool TerminalWidget::startProcess(const QString& program, const QStringList& args)
{
    if (running)
        return false;
    // A widget whose session ended may start again: its old terminal and
    // child go first.
    closeSession();

    ChildStart start(program, args);
    struct winsize size {};
    size.ws_row = 40;
    size.ws_col = 120;
    // What the last program left (a line it was writing, the modes it set)
    // is no part of this one's screen.
    showOutput(true);
    forgetShownLine();
    screen->resetModes();
    setScreenSize(size.ws_col, size.ws_row);
    int master = -1;
    pid_t pid = -1;
    {
        SignalsHeld held;
        pid = ::forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0) {
            held.resetInChild();
            environ = start.envp.data();
            ::execvp(start.argv[0], start.argv.data());
            ::_exit(127);
        }
    }
    if (pid < 0) {
        appendText(QStringLiteral("Failed to create PTY\n"), exitFailColor, QColor());
        return false;
    }
    masterFd = master;
    childPid = pid;
    childReaped = false;
    // Children started later (other tabs, tools) must not hold this terminal
    // open, or it would never hang up when closed.
    ::fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    running = true;
    notifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &TerminalWidget::onReadyRead);

    if (!pendingTitle.isEmpty()) {
        sessionTitle = pendingTitle;
        pendingTitle.clear();
    } else {
        sessionTitle = program.mid(program.lastIndexOf(QLatin1Char('/')) + 1);
    }
    Q_EMIT processStarted();
    Q_EMIT titleChanged(sessionTitle);
    return true;
}

bool TerminalWidget::startSsh(const QString& host, const QString& user, int port, const QString& keyPath)
{
    // Every way of opening a session comes through here: a user or host
    // that begins with "-" never reaches ssh, whatever the caller checked.
    const QString refusal = SshTarget{user, host, port}.refusal();
    if (!refusal.isEmpty()) {
        appendText(refusal + QLatin1Char('\n'), exitFailColor, QColor());
        return false;
    }
    QStringList args;
    if (!user.isEmpty())
        args << QStringLiteral("-l") << user;
    if (port != 22)
        args << QStringLiteral("-p") << QString::number(port);
    if (!keyPath.isEmpty())
        args << QStringLiteral("-i") << keyPath;
    args << host;
    if (!running) {
        const QString login = user.isEmpty() ? qEnvironmentVariable("USER") : user;
        pendingTitle = QStringLiteral("%1@%2").arg(login, host);
    }
    const bool started = startProcess(QStringLiteral("ssh"), args);
    pendingTitle.clear();
    return started;
}

void TerminalWidget::sendText(const QString& text)
{
    if (!running || masterFd < 0)
        return;
    writeToTerminal(masterFd, text.toUtf8());
}

void TerminalWidget::pasteText(const QString& text)
{
    if (!running || masterFd < 0)
        return;
    // A line break goes as the Return key sends it.
    QString typed = text;
    typed.replace(QLatin1String("\r\n"), QLatin1String("\r"));
    typed.replace(QLatin1Char('\n'), QLatin1Char('\r'));
    if (!screen->bracketedPaste()) {
        writeToTerminal(masterFd, typed.toUtf8());
        return;
    }
    // The shell takes what comes between the marks as text, Returns
    // included, and runs nothing until the user presses Return. An ESC in
    // the text could end the paste early and let the rest run: none goes.
    typed.remove(QChar(0x1B));
    writeToTerminal(masterFd, "\x1b[200~" + typed.toUtf8() + "\x1b[201~");
}

void TerminalWidget::setScreenSize(int columns, int rows)
{
    if (columns == screen->columns() && rows == screen->rows())
        return;
    // The current line is cut to the new width: the view follows.
    screen->setSize(columns, rows);
    outputPending = true;
    scheduleFrame();
}

void TerminalWidget::onReadyRead()
{
    if (masterFd < 0)
        return;
    char buffer[readChunk];
    const ssize_t count = ::read(masterFd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count < 1) {
        onProcessFinished();
        return;
    }
    processOutput(QByteArray(buffer, int(count)));
}

void TerminalWidget::onProcessFinished()
{
    if (!running)
        return;
    running = false;
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }

    // The terminal reports its end when the child closes it, which can be a
    // moment before the child has exited: a single look would miss it and
    // show an exit code of 0.
    int status = 0;
    int exitCode = -1;
    if (childPid >= 1) {
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            const pid_t reaped = ::waitpid(childPid, &status, WNOHANG);
            if (reaped == childPid) {
                childReaped = true;
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (reaped < 0 && errno != EINTR)
                break;
            if (waited.elapsed() >= reapWaitMs) {
                reapInBackground(childPid, false);
                childReaped = true;
                break;
            }
            ::usleep(1000);
        }
    }

    appendText(QStringLiteral("\n[Process exited with code %1]\n").arg(exitCode),
               exitCode == 0 ? exitOkColor : exitFailColor, QColor());
    Q_EMIT processFinished(exitCode);
}

QByteArray TerminalWidget::bytesForKey(const QKeyEvent* event) const
{
    switch (event->key()) {
    case Qt::Key_Escape: return QByteArray("\x1b");
    case Qt::Key_Tab: return QByteArray("\t");
    case Qt::Key_Backspace: return QByteArray("\x7f");
    case Qt::Key_Return:
    case Qt::Key_Enter: return QByteArray("\r");
    case Qt::Key_Delete: return QByteArray("\x1b[3~");
    case Qt::Key_Home: return QByteArray("\x1b[H");
    case Qt::Key_End: return QByteArray("\x1b[F");
    case Qt::Key_Left: return QByteArray("\x1b[D");
    case Qt::Key_Up: return QByteArray("\x1b[A");
    case Qt::Key_Right: return QByteArray("\x1b[C");
    case Qt::Key_Down: return QByteArray("\x1b[B");
    case Qt::Key_PageUp: return QByteArray("\x1b[5~");
    case Qt::Key_PageDown: return QByteArray("\x1b[6~");
    default: break;
    }
    if (event->modifiers() & Qt::ControlModifier) {
        if (event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z)
            return QByteArray(1, char(event->key() - 0x40));
        return {};
    }
    return event->text().toUtf8();
}

// Ctrl+Shift+V and Shift+Insert paste; Ctrl+V alone stays the program's
// (bash's quoted insert).
bool TerminalWidget::pasteShortcut(const QKeyEvent* event) const
{
    const Qt::KeyboardModifiers held = event->modifiers() & ~Qt::KeypadModifier;
    return (event->key() == Qt::Key_V && held == (Qt::ControlModifier | Qt::ShiftModifier))
           || (event->key() == Qt::Key_Insert && held == Qt::ShiftModifier);
}

void TerminalWidget::sendKey(QKeyEvent* event)
{
    if (pasteShortcut(event)) {
        pasteText(QApplication::clipboard()->text());
        event->accept();
        return;
    }
    writeToTerminal(masterFd, bytesForKey(event));
    event->accept();
}

void TerminalWidget::keyPressEvent(QKeyEvent* event)
{
    if (running) {
        sendKey(event);
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TerminalWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view && event->type() == QEvent::KeyPress && running) {
        sendKey(static_cast<QKeyEvent*>(event));
        return true;
    }
#ifndef Q_OS_MACOS
    // Ctrl and a letter is the program's (Ctrl+W deletes a word, Ctrl+R
    // searches): no shortcut of the window may take it first. Where Ctrl
    // stands for the Command key, the shortcuts keep it.
    if (watched == view && event->type() == QEvent::ShortcutOverride && running) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->modifiers() & ~Qt::KeypadModifier) == Qt::ControlModifier && key->key() >= Qt::Key_A
            && key->key() <= Qt::Key_Z) {
            event->accept();
            return true;
        }
    }
#endif
    // The view's viewport is laid out after this widget's own resize: its
    // new size is known only once it has been resized itself. A hidden view
    // has no real size yet; it gets one when it is shown.
    if (watched == view->viewport() && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
        updateWindowSize();
    return QWidget::eventFilter(watched, event);
}

void TerminalWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    updateWindowSize();
}

void TerminalWidget::updateWindowSize()
{
    // A view not yet shown has a makeshift size (a tab not yet laid out, a
    // window still being built): a shell told of it would redraw its prompt
    // for a few columns, and again once the real size comes.
    if (masterFd < 0 || !view || !view->viewport()->isVisible())
        return;
    const QFontMetrics metrics(view->font());
    const int charWidth = metrics.averageCharWidth();
    const int lineHeight = metrics.height();
    if (charWidth < 1 || lineHeight < 1)
        return;
    const int columns = view->viewport()->width() / charWidth;
    const int rows = view->viewport()->height() / lineHeight;
    if (columns < 1 || rows < 1)
        return;
    struct winsize size {};
    size.ws_row = static_cast<unsigned short>(std::min(rows, 0xFFFF));
    size.ws_col = static_cast<unsigned short>(std::min(columns, 0xFFFF));
    // The screen wraps where the program now thinks its lines wrap.
    setScreenSize(size.ws_col, size.ws_row);
    ::ioctl(masterFd, TIOCSWINSZ, &size);
}

QList<TerminalTheme> TerminalWidget::availableThemes()
{
    return {
        makeTheme("Quorvane Dark", {"#0c1a2e", "#e0f2fe", "#0ea5e9", "#1e3a5f"},
                  {"#1a1a2e", "#dc2626", "#22c55e", "#f59e0b", "#0ea5e9", "#8b5cf6", "#06b6d4", "#94a3b8",
                   "#374151", "#ef4444", "#4ade80", "#fbbf24", "#38bdf8", "#a78bfa", "#22d3ee", "#e0f2fe"}),
        makeTheme("Solarized Dark", {"#002b36", "#839496", "#93a1a1", "#073642"},
                  {"#073642", "#dc322f", "#859900", "#b58900", "#268bd2", "#d33682", "#2aa198", "#eee8d5",
                   "#002b36", "#cb4b16", "#586e75", "#657b83", "#839496", "#6c71c4", "#93a1a1", "#fdf6e3"}),
        makeTheme("Monokai", {"#272822", "#f8f8f2", "#f8f8f0", "#49483e"},
                  {"#272822", "#f92672", "#a6e22e", "#f4bf75", "#66d9ef", "#ae81ff", "#a1efe4", "#f8f8f2",
                   "#75715e", "#f92672", "#a6e22e", "#f4bf75", "#66d9ef", "#ae81ff", "#a1efe4", "#f9f8f5"}),
        makeTheme("Enterprise Light", {"#ffffff", "#1f2937", "#0ea5e9", "#dbeafe"},
                  {"#1f2937", "#dc2626", "#16a34a", "#d97706", "#2563eb", "#7c3aed", "#0891b2", "#e5e7eb",
                   "#6b7280", "#ef4444", "#22c55e", "#f59e0b", "#3b82f6", "#8b5cf6", "#06b6d4", "#f9fafb"}),
    };
}

void TerminalWidget::setTheme(const TerminalTheme& newTheme)
{
    // Output not yet shown was written in the colours of the theme before.
    if (outputPending)
        showOutput(true);
    theme = newTheme;
    screen->setTheme(theme);
    view->setStyleSheet(QStringLiteral("QPlainTextEdit {  background-color: %1;  color: %2;  "
                                       "selection-background-color: %3;  border: none;  padding: 4px;}")
                            .arg(theme.background.name(), theme.foreground.name(), theme.selection.name()));
}

void TerminalWidget::processOutput(const QByteArray& data)
{
    screen->setHistoryLimit(maxBlocks, maxCharacters);
    screen->feed(data);
    outputPending = true;
    readSinceShown = true;
    scheduleFrame();
}

// The first output after a pause shows at once; what follows within a frame
// is shown together when the frame is over. While output streams in, a
// frame lasts at least four times as long as showing the last one took, so
// a flood of output is read rather than laid out, and rows that would fall
// away at the top before they were ever seen are never laid out. Rows still
// waiting once it stops follow a frame at a time.
void TerminalWidget::scheduleFrame()
{
    const qint64 frame = readSinceShown ? std::max<qint64>(frameMs, 4 * lastShowMs) : frameMs;
    const qint64 due = sinceShown.isValid() ? frame - sinceShown.elapsed() : 0;
    if (frameTimer->isActive()) {
        if (frameTimer->remainingTime() < due)
            frameTimer->start(int(due));
        return;
    }
    if (frameMs <= 0 || due <= 0)
        showOutput();
    else
        frameTimer->start(int(due));
}

// Rows finished since the last frame wait in the screen; the rows the view
// would drop at once never go in. A frame takes whole rows from the front
// of what waits, no more than maxFrameCharacters of them, so that however
// much came in, one frame costs about the same; the rest follows in the
// next frames. The current line's rows go in once no finished row waits.
bool TerminalWidget::dropRowsBeyondTheView()
{
    // Rows went unshown: what the view holds no longer joins on.
    bool cleared = screen->takeDroppedCount() > 0;
    const TerminalScreen::Finished& waiting = screen->finishedRows();
    const int room = std::max(1, maxBlocks - screen->currentLine().rowCount());
    const int rows = screen->finishedLineCount();
    qsizetype cut = 0;
    int dropped = 0;
    while (rows - dropped > room || waiting.text.size() - cut > maxCharacters) {
        cut = waiting.text.indexOf(QLatin1Char('\n'), cut) + 1;
        ++dropped;
    }
    if (dropped > 0) {
        screen->dropFinished(cut, dropped);
        cleared = true;
    }
    return cleared;
}

// The view's last blocks show the current line's rows; finished rows go in
// before them, in as few inserts as their colours allow.
void TerminalWidget::showOutput(bool everything)
{
    frameTimer->stop();
    if (!outputPending)
        return;
    outputPending = false;
    readSinceShown = false;
    QElapsedTimer cost;
    cost.start();

    QTextDocument* document = view->document();
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    const bool cleared = dropRowsBeyondTheView();
    if (cleared) {
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
        shownText.clear();
        shownStyles.clear();
        shownRows = 1;
        lineOffset = 0;
    }

    // This frame's rows: the first that wait, whole.
    const TerminalScreen::Finished& waiting = screen->finishedRows();
    qsizetype taking = waiting.text.size();
    int takingRows = screen->finishedLineCount();
    if (!everything && frameMs > 0 && taking > maxFrameCharacters) {
        taking = waiting.text.indexOf(QLatin1Char('\n'), maxFrameCharacters - 1) + 1;
        if (taking <= 0)
            taking = waiting.text.size();
        takingRows = int(QStringView(waiting.text).first(taking).count(QLatin1Char('\n')));
    }
    const bool drained = taking == waiting.text.size();
    const TerminalLine& line = screen->currentLine();

    // What goes in after the text before the current line: the rows taken,
    // then, once nothing waits before it, the current line's rows. Mostly
    // it begins with what the last frame showed of the current line (a line
    // that grew, a line that ended); that part stays in the view as it is,
    // untouched, so a long line is not laid out again and again.
    struct Segment
    {
        QStringView text;
        quint16 style;
    };
    QList<Segment> segments;
    qsizetype at = 0;
    for (const TerminalScreen::Finished::Span& span : waiting.spans) {
        if (at >= taking)
            break;
        const qsizetype length = std::min(span.length, taking - at);
        segments.append({QStringView(waiting.text).sliced(at, length), span.style});
        at += length;
    }
    std::vector<QList<TerminalRow::Run>> rowRuns;
    QString newShownText;
    std::vector<quint16> newShownStyles;
    if (drained) {
        rowRuns.resize(size_t(line.rowCount()));
        for (int row = 0; row < line.rowCount(); ++row) {
            if (row > 0) {
                segments.append({u"\n", TerminalScreen::blankStyle});
                newShownText += QLatin1Char('\n');
                newShownStyles.push_back(TerminalScreen::blankStyle);
            }
            rowRuns[size_t(row)] = line.row(row).runs();
            for (const TerminalRow::Run& run : rowRuns[size_t(row)]) {
                segments.append({run.text, run.style});
                newShownText += run.text;
                newShownStyles.insert(newShownStyles.end(), size_t(run.text.size()), run.style);
            }
        }
    }

    // The common beginning of what the view shows and what it is to show;
    // a line break matches whatever its colour.
    qsizetype kept = 0;
    if (!cleared) {
        bool differs = false;
        for (const Segment& segment : std::as_const(segments)) {
            for (qsizetype i = 0; i < segment.text.size() && kept < shownText.size(); ++i, ++kept) {
                const QChar c = segment.text[i];
                if (c != shownText[kept] || (c != QLatin1Char('\n') && segment.style != shownStyles[size_t(kept)])) {
                    differs = true;
                    break;
                }
            }
            if (differs || kept == shownText.size())
                break;
        }
        const int firstRow = std::max(0, document->blockCount() - shownRows);
        const QTextBlock first = document->findBlockByNumber(firstRow);
        const int end = document->characterCount() - 1;
        cursor.setPosition(std::min(first.position() + lineOffset + int(kept), end));
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        if (cursor.hasSelection())
            cursor.removeSelectedText();
    }
    qsizetype skip = kept;
    for (const Segment& segment : std::as_const(segments)) {
        if (skip >= segment.text.size()) {
            skip -= segment.text.size();
            continue;
        }
        insertRun(cursor, segment.text.sliced(skip).toString(), segment.style);
        skip = 0;
    }
    if (taking > 0)
        lineOffset = 0;
    shownText = std::move(newShownText);
    shownStyles = std::move(newShownStyles);
    shownRows = drained ? line.rowCount() : 1;
    segments.clear();   // they point into what goes now
    screen->dropFinished(taking, takingRows);
    trimOldBlocks();
    cursor.endEditBlock();
    QScrollBar* bar = view->verticalScrollBar();
    bar->setValue(bar->maximum());
    lastShowMs = cost.elapsed();
    sinceShown.start();
    if (!drained) {
        outputPending = true;
        scheduleFrame();
    }
}

const QTextCharFormat& TerminalWidget::formatFor(quint16 style)
{
    if (formats.size() <= style)
        formats.resize(style + 1);
    QTextCharFormat& format = formats[style];
    if (!format.hasProperty(QTextFormat::ForegroundBrush)) {
        format.setForeground(QBrush(screen->foreground(style)));
        const QColor background = screen->background(style);
        if (background.isValid())
            format.setBackground(QBrush(background));
    }
    return format;
}

void TerminalWidget::insertRun(QTextCursor& cursor, const QString& text, quint16 style)
{
    if (!text.isEmpty())
        cursor.insertText(text, formatFor(style));
}

// What the current line showed stays in the view as it is; the program's
// next output starts a line of its own after the view's last text.
void TerminalWidget::forgetShownLine()
{
    screen->dropCurrentLine();
    shownText.clear();
    shownStyles.clear();
    shownRows = 1;
    lineOffset = view->document()->lastBlock().length() - 1;
}

void TerminalWidget::appendText(const QString& text, const QColor& fg, const QColor& bg)
{
    // What the program wrote comes first, all of it.
    showOutput(true);
    QTextCharFormat format;
    if (fg.isValid())
        format.setForeground(QBrush(fg));
    if (bg.isValid() && bg != theme.background)
        format.setBackground(QBrush(bg));
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    cursor.insertText(text, format);
    forgetShownLine();
    trimOldBlocks();
    cursor.endEditBlock();
    view->setTextCursor(cursor);
}

// The oldest rows fall away once the view holds more rows or characters
// than it keeps: well below both limits at once, so that the next trim is
// many frames away (each trim moves all the text that stays).
void TerminalWidget::trimOldBlocks()
{
    QTextDocument* document = view->document();
    const int blocks = document->blockCount();
    const int characters = document->characterCount();
    if (blocks <= maxBlocks && characters <= maxCharacters)
        return;
    const int keepBlocks = std::max(1, maxBlocks - maxBlocks / 10);
    const int keepCharacters = std::max(1, maxCharacters - maxCharacters / 10);
    // The current line's rows stay whatever they hold.
    const int last = std::max(0, blocks - shownRows);
    int first = std::min(std::max(0, blocks - keepBlocks), last);
    if (characters - document->findBlockByNumber(first).position() > keepCharacters) {
        // The first block from which no more than keepCharacters follow.
        int low = first;
        int high = last;
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (characters - document->findBlockByNumber(middle).position() > keepCharacters)
                low = middle + 1;
            else
                high = middle;
        }
        first = low;
    }
    if (first <= 0)
        return;
    QTextCursor top(document);
    top.setPosition(document->findBlockByNumber(first).position(), QTextCursor::KeepAnchor);
    top.removeSelectedText();
}
