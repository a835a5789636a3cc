// The terminal widget: its screen (bytes in, coloured text out, no
// pseudo-terminal; recordings of real programs under terminal/) and its session (real programs on a real pseudo-terminal:
// environment, window size, keys, exit codes, the end of the child).
#include "ui/remote/TerminalWidget.h"

#include "ui/remote/TerminalScreen.h"
#include "ui/remote/TerminalUtf8Decoder.h"

#include "FakeTools.h"
#include "terminal/ReferenceTerminal.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

class TerminalTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void themes_data();
    void themes();
    void screen_data();
    void screen();
    void themeBackgroundIsNeverWritten();
    void oldLinesFallAwayAtTheTop();
    void sequences_data();
    void sequences();
    void rowsAtTheWidth_data();
    void rowsAtTheWidth();
    void invalidUtf8LosesNoByte_data();
    void invalidUtf8LosesNoByte();
    void recordedPrograms_data();
    void recordedPrograms();
    void judgedByAReferenceTerminal_data();
    void judgedByAReferenceTerminal();
    void randomStreamsShowTheSameInAnyChunks_data();
    void randomStreamsShowTheSameInAnyChunks();
    void longLineWrapsAtTheWidth();
    void floodShowsTheLatestRowsWhole();

    void environment();
    void exitCodes_data();
    void exitCodes();
    void exitCodeIsNeverLostToTheRace();
    void secondStartWhileRunningIsRefused();
    void windowSizeFollowsTheView();
    void keysReachTheProgram();
    void destroyingARunningTerminalEndsItsChild();
    void earlySigtermNeverRunsTheParentsHandler();
    void pasteReachesTheProgram();
    void pasteIntoBashRunsNothingBeforeReturn();
    void bracketedPasteCannotEndItself();
    void sshArgumentsAndTitle_data();
    void sshArgumentsAndTitle();
    void optionLikeSshTargetsStartNothing_data();
    void optionLikeSshTargetsStartNothing();
};

namespace {

QPlainTextEdit* viewOf(TerminalWidget& terminal)
{
    return terminal.findChild<QPlainTextEdit*>();
}

QString screenText(TerminalWidget& terminal)
{
    return viewOf(terminal)->toPlainText();
}

// A colour as the theme names it: "fg" and "bg" for its own, "aN" for palette
// entry N (the lowest matching one), else the colour's name.
QString symbolic(const QColor& colour, const TerminalTheme& theme)
{
    if (colour == theme.foreground)
        return QStringLiteral("fg");
    if (colour == theme.background)
        return QStringLiteral("bg");
    for (int i = 0; i < 16; ++i) {
        if (colour == theme.ansi[i])
            return QStringLiteral("a%1").arg(i);
    }
    return colour.name();
}

// Every run of text in the view as "text:foreground:background", "-" for a
// colour that is not written; blocks are joined with "\n" runs.
QStringList runs(TerminalWidget& terminal)
{
    const TerminalTheme theme = terminal.currentTheme();
    QStringList list;
    for (QTextBlock block = viewOf(terminal)->document()->begin(); block.isValid(); block = block.next()) {
        if (block != viewOf(terminal)->document()->begin())
            list << QStringLiteral("\\n");
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            const QString fg = format.hasProperty(QTextFormat::ForegroundBrush)
                                   ? symbolic(format.foreground().color(), theme)
                                   : QStringLiteral("-");
            const QString bg = format.hasProperty(QTextFormat::BackgroundBrush)
                                   ? symbolic(format.background().color(), theme)
                                   : QStringLiteral("-");
            list << QStringLiteral("%1:%2:%3").arg(fragment.text(), fg, bg);
        }
    }
    return list;
}

QString exitLine(int code)
{
    return QStringLiteral("[Process exited with code %1]").arg(code);
}

// The colour the exit line was written in.
QString exitLineColour(TerminalWidget& terminal)
{
    for (QTextBlock block = viewOf(terminal)->document()->begin(); block.isValid(); block = block.next()) {
        if (block.text().startsWith(QLatin1String("[Process exited")))
            return block.begin().fragment().charFormat().foreground().color().name();
    }
    return {};
}

// Runs a shell command on the terminal and waits for its end.
int runToEnd(TerminalWidget& terminal, const QString& command)
{
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    if (!terminal.startProcess(QStringLiteral("sh"), {QStringLiteral("-c"), command}))
        return -1000;
    if (!finished.wait(20000) || finished.size() != 1)
        return -1001;
    return finished.first().first().toInt();
}

// What a screen shows without a view: finished lines as they are handed over,
// then the current line, each change of style marked "{N}".
class Transcript
{
public:
    void collect(TerminalScreen& screen)
    {
        screen.takeFinishedLines().forEachRun(
            [this](QStringView text, quint16 style) { add(history, historyStyle, text.toString(), style); });
    }
    QString of(TerminalScreen& screen)
    {
        collect(screen);
        QString all = history;
        int style = historyStyle;
        const TerminalLine& line = screen.currentLine();
        for (int row = 0; row < line.rowCount(); ++row) {
            if (row > 0)
                all += QLatin1Char('\n');
            for (const TerminalRow::Run& run : line.row(row).runs())
                add(all, style, run.text, run.style);
        }
        return all;
    }

private:
    static void add(QString& to, int& lastStyle, const QString& text, int style)
    {
        if (text.isEmpty())
            return;
        if (style != lastStyle)
            to += QStringLiteral("{%1}").arg(style);
        lastStyle = style;
        to += text;
    }
    QString history;
    int historyStyle = -1;
};

QString screenTranscript(const QList<QByteArray>& chunks, int columns = 120, int rows = 40)
{
    TerminalScreen screen(TerminalWidget::availableThemes().first());
    screen.setSize(columns, rows);
    Transcript transcript;
    for (const QByteArray& chunk : chunks) {
        screen.feed(chunk);
        transcript.collect(screen);
    }
    return transcript.of(screen);
}

// The rows a screen of the size shows after the chunks: finished rows, then
// the current line's, trailing blanks and empty rows left out.
QStringList shownRows(const QList<QByteArray>& chunks, int columns, int rows)
{
    TerminalScreen screen(TerminalWidget::availableThemes().first());
    screen.setSize(columns, rows);
    QString text;
    for (const QByteArray& chunk : chunks) {
        screen.feed(chunk);
        text += screen.takeFinishedLines().text;
    }
    const TerminalLine& line = screen.currentLine();
    for (int row = 0; row < line.rowCount(); ++row)
        text += (row > 0 ? QStringLiteral("\n") : QString()) + line.row(row).text();
    return screenRows(text);
}

QByteArray fixture(const QString& name)
{
    QFile file(QStringLiteral(OT_SOURCE_DIR "/tests/terminal/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The view's runs after the chunks, each shown as it arrives.
QStringList runsAfter(const QList<QByteArray>& chunks, int columns = 120, int rows = 40)
{
    TerminalWidget terminal;
    terminal.frameMs = 0;
    terminal.setScreenSize(columns, rows);
    for (const QByteArray& chunk : chunks)
        terminal.processOutput(chunk);
    return runs(terminal);
}

QList<QByteArray> cut(const QByteArray& bytes, qsizetype size)
{
    QList<QByteArray> chunks;
    for (qsizetype at = 0; at < bytes.size(); at += size)
        chunks << bytes.mid(at, size);
    return chunks;
}

// The processes whose parent is this one, zombies included.
QList<int> childProcesses()
{
    QList<int> children;
    const QString self = QString::number(::getpid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self.toLatin1())
            children << pid;
    }
    return children;
}

int earlySignalPipe[2] = {-1, -1};

// Stands for any handler the program installs: run in a child that has not
// yet started its program, it leaves a mark.
void markEarlySignal(int)
{
    const char mark = 'x';
    [[maybe_unused]] const ssize_t written = ::write(earlySignalPipe[1], &mark, 1);
    ::_exit(0);
}

} // namespace

void TerminalTest::themes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("colours");   // background, foreground, cursor, selection, ansi 0-15
    QTest::newRow("1") << "Quorvane Dark"
        << QStringList{"#0c1a2e", "#e0f2fe", "#0ea5e9", "#1e3a5f",
                       "#1a1a2e", "#dc2626", "#22c55e", "#f59e0b", "#0ea5e9", "#8b5cf6", "#06b6d4", "#94a3b8",
                       "#374151", "#ef4444", "#4ade80", "#fbbf24", "#38bdf8", "#a78bfa", "#22d3ee", "#e0f2fe"};
    QTest::newRow("2") << "Solarized Dark"
        << QStringList{"#002b36", "#839496", "#93a1a1", "#073642",
                       "#073642", "#dc322f", "#859900", "#b58900", "#268bd2", "#d33682", "#2aa198", "#eee8d5",
                       "#002b36", "#cb4b16", "#586e75", "#657b83", "#839496", "#6c71c4", "#93a1a1", "#fdf6e3"};
    QTest::newRow("3") << "Monokai"
        << QStringList{"#272822", "#f8f8f2", "#f8f8f0", "#49483e",
                       "#272822", "#f92672", "#a6e22e", "#f4bf75", "#66d9ef", "#ae81ff", "#a1efe4", "#f8f8f2",
                       "#75715e", "#f92672", "#a6e22e", "#f4bf75", "#66d9ef", "#ae81ff", "#a1efe4", "#f9f8f5"};
    QTest::newRow("4") << "Enterprise Light"
        << QStringList{"#ffffff", "#1f2937", "#0ea5e9", "#dbeafe",
                       "#1f2937", "#dc2626", "#16a34a", "#d97706", "#2563eb", "#7c3aed", "#0891b2", "#e5e7eb",
                       "#6b7280", "#ef4444", "#22c55e", "#f59e0b", "#3b82f6", "#8b5cf6", "#06b6d4", "#f9fafb"};
}

void TerminalTest::themes()
{
    QFETCH(QString, name);
    QFETCH(QStringList, colours);
    const QList<TerminalTheme> themes = TerminalWidget::availableThemes();
    QCOMPARE(themes.size(), 4);
    const int index = QString::fromLatin1(QTest::currentDataTag()).toInt() - 1;
    const TerminalTheme& theme = themes.at(index);
    QCOMPARE(theme.name, name);
    QStringList actual{theme.background.name(), theme.foreground.name(), theme.cursor.name(),
                       theme.selection.name()};
    for (const QColor& colour : theme.ansi)
        actual << colour.name();
    QCOMPARE(actual, colours);

    TerminalWidget terminal;
    if (index == 0)
        QCOMPARE(terminal.currentTheme().name, name);   // the default
    terminal.setTheme(theme);
    QCOMPARE(viewOf(terminal)->styleSheet(),
             QStringLiteral("QPlainTextEdit {  background-color: %1;  color: %2;  "
                            "selection-background-color: %3;  border: none;  padding: 4px;}")
                 .arg(colours[0], colours[1], colours[3]));
}

void TerminalTest::screen_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("expected");
    using Chunks = QList<QByteArray>;

    // Colour sequences.
    QTest::newRow("reset without parameters")
        << Chunks{"\x1b[1;44;31mA\x1b[mB\x1b[31mC"} << QStringList{"A:a9:a4", "B:fg:-", "C:a1:-"};
    QTest::newRow("bold before colour is bright") << Chunks{"\x1b[1;31mA"} << QStringList{"A:a9:-"};
    QTest::newRow("colour before bold is normal")
        << Chunks{"\x1b[31;1mA\x1b[32mB"} << QStringList{"A:a1:-", "B:a10:-"};
    QTest::newRow("256-colour form has no effect")
        << Chunks{"\x1b[32m\x1b[38;5;196mA"} << QStringList{"A:a2:-"};
    QTest::newRow("true-colour zeros reset")
        << Chunks{"\x1b[32;41m\x1b[38;2;0;0;0mA"} << QStringList{"A:fg:-"};
    QTest::newRow("bright foreground and background")
        << Chunks{"\x1b[90mA\x1b[96;100mB\x1b[106mC"} << QStringList{"A:a8:-", "B:a14:a8", "C:a14:a14"};
    QTest::newRow("normal background, then default")
        << Chunks{"\x1b[47mA\x1b[49mB"} << QStringList{"A:fg:a7", "B:fg:-"};
    QTest::newRow("bold lasts until 0")
        << Chunks{"\x1b[1m\x1b[39;49m\x1b[33mA\x1b[0m\x1b[33mB"} << QStringList{"A:a11:-", "B:a3:-"};
    QTest::newRow("39 keeps the background")
        << Chunks{"\x1b[31;42m\x1b[39mA"} << QStringList{"A:fg:a2"};
    QTest::newRow("parameter beyond 32 bits counts as 0")
        << Chunks{"\x1b[31m\x1b[99999999999mA"} << QStringList{"A:fg:-"};

    // Text and the sequences around it.
    QTest::newRow("CR LF is one break") << Chunks{"a\r\nb\r\n"} << QStringList{"a:fg:-", "\\n", "b:fg:-", "\\n"};
    QTest::newRow("erase sequences leave one run")
        << Chunks{"ab\x1b[2Jcd\x1b[Kef\x1b[3~g"} << QStringList{"abcdefg:fg:-"};
    QTest::newRow("sequence cut after the bracket")
        << Chunks{"x\x1b[", "31my"} << QStringList{"x:fg:-", "y:a1:-"};
    QTest::newRow("sequence cut after ESC") << Chunks{"x\x1b", "[31my"} << QStringList{"x:fg:-", "y:a1:-"};
    QTest::newRow("UTF-8 character cut between chunks")
        << Chunks{"caf\xc3", "\xa9 \xe2\x82", "\xac \xf0\x9f\x94", "\x91"}
        << QStringList{QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91:fg:-")};
    QTest::newRow("window title ended by BEL")
        << Chunks{"a\x1b]0;root@box: ~\x07$ "} << QStringList{"a$ :fg:-"};
    QTest::newRow("window title ended by ESC backslash")
        << Chunks{"a\x1b]2;t\x1b\\b"} << QStringList{"ab:fg:-"};
    QTest::newRow("window title cut between chunks")
        << Chunks{"a\x1b]0;ro", "ot@box\x07", "b"} << QStringList{"ab:fg:-"};
    QTest::newRow("ESC inside a title starts a sequence")
        << Chunks{"a\x1b]0;t\x1b[31mb"} << QStringList{"a:fg:-", "b:a1:-"};
    QTest::newRow("save cursor and keypad mode")
        << Chunks{"a\x1b" "7b\x1b" "8c\x1b=d\x1b>e"} << QStringList{"abcde:fg:-"};
    QTest::newRow("character set selection") << Chunks{"a\x1b(Bb\x1b)0c"} << QStringList{"abc:fg:-"};
    QTest::newRow("private mode sequence") << Chunks{"a\x1b[?2004hb"} << QStringList{"ab:fg:-"};

    // A carriage return alone goes back over the line; what bash sends when
    // the window size changes under its prompt.
    const QByteArray prompt = "\x1b]0;root@vm: /tmp\x07root@vm:/tmp# ";
    QTest::newRow("prompt redrawn after a resize")
        << Chunks{"\x1b[?2004h" + prompt, "\r\x1b[K\r" + prompt} << QStringList{"root@vm:/tmp# :fg:-"};
    QTest::newRow("prompt redrawn through a narrow size")
        << Chunks{"\x1b[?2004h" + prompt, "\r\x1b[K\r\x1b[K\r", "\r\x1b[K\r\x1b[A\x1b[K\r" + prompt}
        << QStringList{"root@vm:/tmp# :fg:-"};
    QTest::newRow("typed text redrawn with the prompt")
        << Chunks{prompt, "echo", "\r\x1b[K\r" + prompt + "echo "} << QStringList{"root@vm:/tmp# echo :fg:-"};
    QTest::newRow("written over in new colours, the rest kept")
        << Chunks{"12345\x1b[31m\rab"} << QStringList{"ab:a1:-", "345:fg:-"};
    QTest::newRow("written over past the end") << Chunks{"abc\rwxyz!"} << QStringList{"wxyz!:fg:-"};
    QTest::newRow("erased after a carriage return")
        << Chunks{"progress 10%\rdone\x1b[K\r\nnext"} << QStringList{"done:fg:-", "\\n", "next:fg:-"};
    QTest::newRow("line feed keeps the line written over")
        << Chunks{"abc\rX\ny"} << QStringList{"Xbc:fg:-", "\\n", "y:fg:-"};
    QTest::newRow("CR LF cut between chunks") << Chunks{"a\r", "\nb"} << QStringList{"a:fg:-", "\\n", "b:fg:-"};
}

void TerminalTest::screen()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, expected);
    TerminalWidget terminal;
    terminal.frameMs = 0;
    for (const QByteArray& chunk : chunks)
        terminal.processOutput(chunk);
    QCOMPARE(runs(terminal), expected);
}

// Text in the theme's own background carries none, so it follows a later
// theme; text in any other background keeps it.
void TerminalTest::themeBackgroundIsNeverWritten()
{
    const QList<TerminalTheme> themes = TerminalWidget::availableThemes();
    TerminalWidget terminal;
    terminal.frameMs = 0;
    terminal.setTheme(themes.at(2));     // Monokai: palette 0 is its background
    terminal.processOutput("\x1b[40mA\x1b[41mB\x1b[0mC");
    QCOMPARE(runs(terminal), (QStringList{"A:fg:-", "B:fg:a1", "C:fg:-"}));
    terminal.setTheme(themes.at(3));
    QCOMPARE(runs(terminal).first(), QStringLiteral("A:#f8f8f2:-"));
    QVERIFY(viewOf(terminal)->styleSheet().contains(QLatin1String("background-color: #ffffff;")));
    // A theme change resets the colours for what follows, not the bold state.
    terminal.processOutput("\x1b[1m");
    terminal.setTheme(themes.at(0));
    terminal.processOutput("D\x1b[34mE");
    QCOMPARE(runs(terminal).mid(3), (QStringList{"D:fg:-", "E:a12:-"}));
}

// Old rows fall away at the top, many at a time: the view never holds more
// than it keeps, and what it holds is the latest output, whole and in order.
void TerminalTest::oldLinesFallAwayAtTheTop()
{
    TerminalWidget terminal;
    terminal.frameMs = 0;
    const auto checkTail = [&terminal](int lastLine) {
        const QTextDocument* document = viewOf(terminal)->document();
        QVERIFY2(document->blockCount() <= 10000 && document->blockCount() >= 9000,
                 qPrintable(QString::number(document->blockCount())));
        QTextBlock block = document->lastBlock().previous();
        QCOMPARE(block.text(), QString::number(lastLine));
        const int first = document->firstBlock().text().toInt();
        QCOMPARE(first + document->blockCount() - 2, lastLine);
    };
    QByteArray flood;
    for (int line = 1; line <= 10500; ++line)
        flood += QByteArray::number(line) + "\r\n";
    for (qsizetype at = 0; at < flood.size(); at += 4096)
        terminal.processOutput(flood.mid(at, 4096));
    checkTail(10500);
    // The same holds by characters: rows of 100 fill the view at a tenth
    // of the rows.
    terminal.maxCharacters = 100000;
    flood.clear();
    for (int line = 10501; line <= 11000; ++line)
        flood += QByteArray::number(line) + QByteArray(95, '.') + "\r\n";
    for (qsizetype at = 0; at < flood.size(); at += 4096)
        terminal.processOutput(flood.mid(at, 4096));
    const QTextDocument* document = viewOf(terminal)->document();
    QVERIFY2(document->characterCount() <= 100000, qPrintable(QString::number(document->characterCount())));
    QVERIFY(document->blockCount() > 500);
    QVERIFY(document->lastBlock().previous().text().startsWith(QLatin1String("11000.")));
    terminal.appendText(QStringLiteral("end\n"), QColor(), QColor());
    QVERIFY(document->characterCount() <= 100000);
    QCOMPARE(document->lastBlock().previous().text(), QStringLiteral("end"));
}

void TerminalTest::sequences_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("expected");
    // Sequences that used to leave text behind or change colours.
    QTest::newRow("DCS string") << QByteArray("a\x1bP1$r0m\x1b\\b") << QStringList{"ab:fg:-"};
    QTest::newRow("SOS, PM and APC strings")
        << QByteArray("a\x1bXs;1m\x1b\\b\x1b^p\x1b\\c\x1b_a\x07x\x1b\\d") << QStringList{"abcd:fg:-"};
    QTest::newRow("ESC # 8") << QByteArray("a\x1b#8b") << QStringList{"ab:fg:-"};
    QTest::newRow("cursor moves by the largest count")
        << QByteArray("a\x1b[2147483647C\x1b[2147483647Db") << QStringList{"b:fg:-"};
    QTest::newRow("ESC % G") << QByteArray("a\x1b%Gb") << QStringList{"ab:fg:-"};
    QTest::newRow("line feed inside a sequence")
        << QByteArray("a\x1b[3\n1mb") << QStringList{"a:fg:-", "\\n", "b:a1:-"};
    QTest::newRow("modifyOtherKeys is no colour")
        << QByteArray("\x1b[>4;1mA\x1b[31mB\x1b[>4;mC") << QStringList{"A:fg:-", "BC:a1:-"};
    QTest::newRow("private marker or intermediate is no colour")
        << QByteArray("\x1b[32m\x1b[?0mA\x1b[0%mB") << QStringList{"AB:a2:-"};
    QTest::newRow("colon sub-parameters are no colour") << QByteArray("\x1b[38:5:196mA") << QStringList{"A:fg:-"};
    QTest::newRow("NUL and BEL") << QByteArray("a\0b\x07" "c", 5) << QStringList{"abc:fg:-"};
    QTest::newRow("final @ inserts at the end: nothing")
        << QByteArray("ab \x1b[4@" "cd ef") << QStringList{"ab cd ef:fg:-"};
    QTest::newRow("final ` goes to the column") << QByteArray("ab\x1b[1`cd") << QStringList{"cd:fg:-"};
    QTest::newRow("CAN and SUB abandon a sequence")
        << QByteArray("a\x1b[31\x18" "b\x1b[32\x1a" "c") << QStringList{"abc:fg:-"};
    QTest::newRow("CSI ending on a control-free final after ESC")
        << QByteArray("a\x1b[31\x1b[32mb") << QStringList{"a:fg:-", "b:a2:-"};

    // The current line, edited as bash edits it.
    QTest::newRow("backspace moves left") << QByteArray("abc\b\bX") << QStringList{"aXc:fg:-"};
    QTest::newRow("rubout") << QByteArray("$ echo abcX\b \b") << QStringList{"$ echo abc :fg:-"};
    QTest::newRow("delete after moving left")
        << QByteArray("abcdef\x1b[3D\x1b[PX") << QStringList{"abcXf:fg:-"};
    QTest::newRow("insert blanks")
        << QByteArray("abc\x1b[2D\x1b[2@\x1b[31mZ") << QStringList{"a:fg:-", "Z:a1:-", " bc:fg:-"};
    QTest::newRow("erase to the start") << QByteArray("abcdef\x1b[3D\x1b[1K") << QStringList{"    ef:fg:-"};
    QTest::newRow("erase the line, cursor stays") << QByteArray("abc\x1b[2Kd") << QStringList{"   d:fg:-"};
    QTest::newRow("cursor forward") << QByteArray("ab\x1b[3C" "c\x1b[C") << QStringList{"ab   c:fg:-"};
    QTest::newRow("tab stops") << QByteArray("a\tb\x1b[5D\tc") << QStringList{"a       c:fg:-"};
    QTest::newRow("progress line after a finished line")
        << QByteArray("done\r\n\rDownloading  50%\x1b[K\rDownloading 100%\x1b[K\r\n")
        << QStringList{"done:fg:-", "\\n", "Downloading 100%:fg:-", "\\n"};
    QTest::newRow("erase after CR keeps the line before")
        << QByteArray("a\r\n\x1b[K\rb") << QStringList{"a:fg:-", "\\n", "b:fg:-"};
}

// Each sequence read whole and byte by byte leaves the same.
void TerminalTest::sequences()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, expected);
    QCOMPARE(runsAfter({bytes}), expected);
    QCOMPARE(runsAfter(cut(bytes, 1)), expected);
}

void TerminalTest::rowsAtTheWidth_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");   // rows joined by "|"
    QTest::addColumn<int>("height");
    // All on a screen ten columns wide.
    QTest::newRow("a full row waits at the margin") << QByteArray("0123456789\rX") << "X123456789" << 24;
    QTest::newRow("the next character wraps") << QByteArray("0123456789ab") << "0123456789|ab" << 24;
    QTest::newRow("carriage return goes to the cursor's row")
        << QByteArray("0123456789abc\rX") << "0123456789|Xbc" << 24;
    QTest::newRow("cursor up moves within the line")
        << QByteArray("0123456789abc\x1b[AX") << "012X456789|abc" << 24;
    QTest::newRow("erase acts on the cursor's row")
        << QByteArray("0123456789abc\x1b[A\x1b[K") << "012|abc" << 24;
    QTest::newRow("line feed moves down a row of the line")
        << QByteArray("0123456789abc\x1b[A\r\nX") << "0123456789|Xbc" << 24;
    QTest::newRow("cursor up stays in the line") << QByteArray("done\r\n0123\x1b[2AX") << "done|0123X" << 24;
    QTest::newRow("rows above the screen are out of reach")
        << QByteArray(50, 'x') + "\x1b[9AY" << "xxxxxxxxxx|xxxxxxxxxx|xxxxxxxxxY|xxxxxxxxxx|xxxxxxxxxx" << 3;
    QTest::newRow("erase below ends the line there")
        << QByteArray("0123456789abc\x1b[A\x1b[5G\x1b[J") << "0123" << 24;
    QTest::newRow("a wide character at the margin goes whole to the next row")
        << QByteArray("012345678\xe6\xbc\xa2") << QString::fromUtf8("012345678|\xe6\xbc\xa2") << 24;
    QTest::newRow("backspace counts a wide character as two columns")
        << QByteArray("ab\xe6\xbc\xa2\xe5\xad\x97" "cd\b\b\b\bX") << QString::fromUtf8("ab\xe6\xbc\xa2X cd") << 24;
    QTest::newRow("a combining mark joins the character before it")
        << QByteArray("cafe\xcc\x81\bX!") << "cafX!" << 24;
    QTest::newRow("a mark at the margin joins the last character")
        << QByteArray("012345678e\xcc\x81x") << QString::fromUtf8("012345678e\xcc\x81|x") << 24;
    QTest::newRow("a character outside the basic plane is never split")
        << QByteArray("\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91")
        << QString::fromUtf8("\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91\xf0\x9f\x94\x91|\xf0\x9f\x94\x91") << 24;
    QTest::newRow("cursor to a column") << QByteArray("nm\x1b[6Gvalue") << "nm   value" << 24;
    QTest::newRow("progress line redrawn from column 1")
        << QByteArray("\x1b[1G\x1b[2KAt 5%\x1b[1G\x1b[2KAt 50%") << "At 50%" << 24;
    QTest::newRow("erase characters") << QByteArray("abcdef\x1b[2G\x1b[3X") << "a   ef" << 24;
    QTest::newRow("erase characters to the end") << QByteArray("abcdef\x1b[4G\x1b[9Xz") << "abcz" << 24;
}

// Rows as a terminal ten columns wide shows them, fed whole and byte by byte.
void TerminalTest::rowsAtTheWidth()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    QFETCH(int, height);
    QCOMPARE(shownRows({bytes}, 10, height).join(QLatin1Char('|')), expected);
    QCOMPARE(shownRows(cut(bytes, 1), 10, height).join(QLatin1Char('|')), expected);
}

void TerminalTest::invalidUtf8LosesNoByte_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    const QString r(QChar(0xFFFD));
    QTest::newRow("Latin-1 word") << QByteArray("caf\xe9 au") << "caf" + r + " au";
    QTest::newRow("Latin-1 letters in a row") << QByteArray("\xe9\xe8\xe0x") << r + r + r + "x";
    QTest::newRow("three-byte character cut short") << QByteArray("\xe2\x82x") << r + "x";
    QTest::newRow("four-byte character cut short") << QByteArray("\xf0\x9f\x94" "A") << r + "A";
    QTest::newRow("lead byte before a lead byte") << QByteArray("\xc3\xc3\xa9") << r + QString::fromUtf8("\xc3\xa9");
    QTest::newRow("overlong two bytes") << QByteArray("\xc0\xaf") << r + r;
    QTest::newRow("overlong three bytes") << QByteArray("\xe0\x80\xaf") << r + r + r;
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << r + r + r;
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << r + r + r + r;
    QTest::newRow("stray continuation bytes") << QByteArray("a\x80\xbf" "b") << "a" + r + r + "b";
    QTest::newRow("bytes never in UTF-8") << QByteArray("\xff\xfe") << r + r;
    QTest::newRow("valid two to four bytes")
        << QByteArray("\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x91") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x91");
}

// The decoder, and the screen around it, give the same text however the
// bytes are cut: whole, in two at every position, byte by byte.
void TerminalTest::invalidUtf8LosesNoByte()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const auto decoded = [](const QList<QByteArray>& chunks) {
        TerminalUtf8Decoder decoder;
        QString text;
        for (const QByteArray& chunk : chunks)
            decoder.decode(chunk.constData(), chunk.size(), text);
        decoder.endText(text);
        return text;
    };
    QCOMPARE(decoded({bytes}), expected);
    QCOMPARE(decoded(cut(bytes, 1)), expected);
    const QString onScreen = screenTranscript({bytes + "\r\n"});
    for (qsizetype at = 1; at < bytes.size(); ++at) {
        QCOMPARE(decoded({bytes.left(at), bytes.mid(at)}), expected);
        QCOMPARE(screenTranscript({bytes.left(at), bytes.mid(at) + "\r\n"}), onScreen);
    }
    QCOMPARE(onScreen, "{0}" + expected + "\n");
}

void TerminalTest::recordedPrograms_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expected");        // the view's text; null when only parts are known
    QTest::addColumn<QStringList>("present");     // texts the view holds
    QTest::addColumn<QStringList>("runsPresent"); // runs of colour the view holds
    QTest::addColumn<QByteArray>("shownBefore");  // what present and runsPresent are looked for before
    QTest::addColumn<int>("columns");             // the width it was recorded at

    // bash: "echo abcX", Backspace, Left, Left, "Z", Return; then Ctrl+R,
    // "aZ", Return; then "exit". What ran is what shows.
    QTest::newRow("bash line editing and Ctrl+R")
        << "bash-editing.bin" << "$ echo aZbc\naZbc\n$ echo aZbc\naZbc\n$ exit\nexit\n" << QStringList{}
        << QStringList{} << QByteArray() << 120;
    QTest::newRow("ls --color")
        << "ls-color.bin" << "$ ls --color=always\nbuild  link  notes.txt  run.sh\n$ exit\nexit\n" << QStringList{}
        << QStringList{"build:a12:-", "link:a14:-", "run.sh:a10:-", "  notes.txt  :fg:-"} << QByteArray() << 120;
    QTest::newRow("progress bar")
        << "progress.bin"
        << "$ for i in 0 25 50 75 100; do printf '\\rDownloading %3d%%\\033[K' $i; sleep 0.05; done; echo\n"
           "Downloading 100%\n$ exit\nexit\n"
        << QStringList{} << QStringList{} << QByteArray() << 120;
    // Full-screen programs place text by rows, which the view has not: only
    // their text is known to show, with no trace of their sequences, at the
    // width they were recorded at.
    QTest::newRow("vim start and quit")
        << "vim.bin" << QString()
        << QStringList{"VIM - Vi IMproved", "version 9.0.2142", "Vim is open source and freely distributable", "type  :q<Enter>               to exit"}
        << QStringList{"<Enter>:a4:-", "<F1>:a4:-"} << QByteArray(":q\r") << 80;
    QTest::newRow("top -n1")
        << "top.bin" << QString()
        << QStringList{"top - 08:36:02 up 34 min,  0 user,  load average: 23.69, 21.43, 20.11\n"
                       "Tasks: 257 total,  28 running, 226 sleeping,   0 stopped,   3 zombie\n",
                       "\n  PID USER      PR  NI    VIRT    RES    SHR S  %CPU  %MEM     TIME+ COMMAND"}
        << QStringList{} << QByteArray() << 80;
}

void TerminalTest::recordedPrograms()
{
    QFETCH(QString, file);
    QFETCH(QString, expected);
    QFETCH(QStringList, present);
    QFETCH(QStringList, runsPresent);
    QFETCH(QByteArray, shownBefore);
    QFETCH(int, columns);
    const QByteArray bytes = fixture(file);
    QVERIFY2(!bytes.isEmpty(), qPrintable(file));

    TerminalWidget whole;
    whole.frameMs = 0;
    whole.setScreenSize(columns, 40);
    const qsizetype partEnd = shownBefore.isEmpty() ? bytes.size() : bytes.indexOf(shownBefore);
    QVERIFY(partEnd > 0);
    whole.processOutput(bytes.left(partEnd));
    const QString partText = screenText(whole);
    // Text placed by rows runs on, wrapping where the rows end.
    const QString unwrapped = QString(partText).remove(QLatin1Char('\n'));
    for (const QString& part : present)
        QVERIFY2(partText.contains(part) || unwrapped.contains(part), qPrintable(part + QLatin1String(" | ") + partText));
    const QStringList partRuns = runs(whole);
    for (const QString& run : runsPresent)
        QVERIFY2(partRuns.contains(run), qPrintable(run + QLatin1String(" | ") + partRuns.join(QLatin1Char('|'))));
    whole.processOutput(bytes.mid(partEnd));
    const QString text = screenText(whole);
    if (!expected.isNull())
        QCOMPARE(text, expected);
    const QStringList wholeRuns = runs(whole);
    // No control byte and no piece of a sequence reaches the view.
    for (const QChar c : text)
        QVERIFY2(c == QLatin1Char('\n') || (c.unicode() >= 0x20 && c.unicode() != 0x7F), qPrintable(text));
    for (const char* leak : {"[?", "(B", "\x1b", "zz", "4;2m", "0%m", "10;?", "22;0;0t"})
        QVERIFY2(!text.contains(QLatin1String(leak)), leak);

    QCOMPARE(runsAfter(cut(bytes, 1), columns), wholeRuns);
    const QString reference = screenTranscript({bytes}, columns);
    for (qsizetype at = 1; at < bytes.size(); ++at) {
        if (screenTranscript({bytes.left(at), bytes.mid(at)}, columns) != reference)
            QFAIL(qPrintable(QStringLiteral("differs when cut at byte %1").arg(at)));
    }
}

void TerminalTest::judgedByAReferenceTerminal_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("columns");   // the width it was recorded at
    QTest::addColumn<QString>("shows"); // what the reference shows: the recording is what it claims
    for (const int columns : {40, 80}) {
        // bash: a command typed past the width; Left x40 (back across the
        // wrap), "XYZ ", Ctrl+A, Right x5, "0", Ctrl+E, Backspace x3, Return.
        QTest::addRow("command past the width, edited, %d", columns)
            << QStringLiteral("wrapped-edit-%1.bin").arg(columns) << columns
            << "0the quick brown fox jumps over the lazy";
        // "echo 漢字ab", Left x3, "X", Return.
        QTest::addRow("wide characters edited, %d", columns)
            << QStringLiteral("wide-edit-%1.bin").arg(columns) << columns << QString::fromUtf8("\n\xe6\xbc\xa2X\xe5\xad\x97" "ab\n");
        // "echo café ok" with é as e and a combining accent, Left x3,
        // Backspace, "e", Return.
        QTest::addRow("decomposed character rubbed out, %d", columns)
            << QStringLiteral("combining-edit-%1.bin").arg(columns) << columns << "\ncafe ok\n";
        // printf with ESC[20G, a progress line of ESC[1G ESC[2K, and ESC[2X.
        QTest::addRow("cursor to a column, %d", columns)
            << QStringLiteral("columns-%1.bin").arg(columns) << columns
            << "\nname               value\nProgress 100%\nab  ef\n";
    }
}

// What bash drew while a line was edited shows as a reference terminal
// shows it, however the output is cut: whole, in two at every byte, byte by
// byte.
void TerminalTest::judgedByAReferenceTerminal()
{
    QFETCH(QString, file);
    QFETCH(int, columns);
    QFETCH(QString, shows);
    const QByteArray bytes = fixture(file);
    QVERIFY2(!bytes.isEmpty(), qPrintable(file));
    const QStringList expected = referenceScreen(bytes, columns);
    QVERIFY2(expected.join(QLatin1Char('\n')).contains(shows), qPrintable(expected.join(QLatin1Char('\n'))));

    QCOMPARE(shownRows({bytes}, columns, 24), expected);
    for (qsizetype at = 1; at < bytes.size(); ++at) {
        const QStringList shown = shownRows({bytes.left(at), bytes.mid(at)}, columns, 24);
        if (shown != expected)
            QFAIL(qPrintable(QStringLiteral("cut at byte %1:\n%2").arg(at).arg(shown.join(QLatin1Char('\n')))));
    }
    for (const qsizetype size : {bytes.size(), qsizetype(1)}) {
        TerminalWidget terminal;
        terminal.frameMs = 0;
        terminal.setScreenSize(columns, 24);
        for (const QByteArray& chunk : cut(bytes, size))
            terminal.processOutput(chunk);
        QCOMPARE(screenRows(screenText(terminal)), expected);
    }
}

void TerminalTest::randomStreamsShowTheSameInAnyChunks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Pieces of what programs write, good and bad, cut anywhere by the mix.
    const QList<QByteArray> pieces{
        "word", "other text ", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x94\x91", "\xe9", "\xc3", "\xe2\x82",
        "\r", "\n", "\r\n", "\b", "\t", QByteArray(1, '\0'), "\x07", "\x1b", "\x1b[K", "\x1b[1K", "\x1b[2K",
        "\x1b[3D", "\x1b[D", "\x1b[2C", "\x1b[2@", "\x1b[P", "\x1b[3P", "\x1b[31m", "\x1b[0m", "\x1b[1;44m",
        "\x1b[m", "\x1b[>4;1m", "\x1b]0;title\x07", "\x1b]2;t\x1b\\", "\x1bP1$r0m\x1b\\", "\x1b#8", "\x1b%G",
        "\x1b(B", "\x1b[?2004h", "\x1b[12;40H", "\x18", "\x1b[", ";", "5"};
    QRandomGenerator random(20260611);
    for (int row = 0; row < 40; ++row) {
        QByteArray bytes;
        const int count = 20 + int(random.bounded(40));
        for (int i = 0; i < count; ++i)
            bytes += pieces.at(int(random.bounded(int(pieces.size()))));
        QTest::addRow("stream %d", row) << bytes;
    }
}

// Cut into chunks of any size from 1 to 64, a stream shows as it does whole.
void TerminalTest::randomStreamsShowTheSameInAnyChunks()
{
    QFETCH(QByteArray, bytes);
    const QStringList whole = runsAfter({bytes});
    for (qsizetype size = 1; size <= 64; ++size) {
        const QStringList chunked = runsAfter(cut(bytes, size));
        if (chunked != whole)
            QFAIL(qPrintable(QStringLiteral("chunks of %1: %2\nwhole: %3")
                                 .arg(size).arg(chunked.join(QLatin1Char('|')), whole.join(QLatin1Char('|')))));
    }
}

// A line without breaks wraps at the terminal's width, as the program
// expects: blocks of that width, never one block that grows with every
// chunk.
void TerminalTest::longLineWrapsAtTheWidth()
{
    const QByteArray line = QByteArray(3 * 120 + 100, 'x') + "\r\n$ ";
    TerminalWidget terminal;
    for (qsizetype at = 0; at < line.size(); at += 4096)
        terminal.processOutput(line.mid(at, 4096));
    QTRY_COMPARE(viewOf(terminal)->document()->blockCount(), 5);
    QStringList lengths;
    for (QTextBlock block = viewOf(terminal)->document()->begin(); block.isValid(); block = block.next())
        lengths << QString::number(block.length() - 1);
    QCOMPARE(lengths, (QStringList{"120", "120", "120", "100", "2"}));
    QCOMPARE(screenTranscript(cut(line, 7)), screenTranscript({line}));
}

// A flood of long lines is shown a bounded part per frame; once it is over
// the view holds the latest rows, whole and in order, as the screen alone
// finished them.
void TerminalTest::floodShowsTheLatestRowsWhole()
{
    QByteArray flood;
    QRandomGenerator random(20260612);
    for (int line = 1; flood.size() < 3 * 1024 * 1024 / 2; ++line) {
        QByteArray text = "line " + QByteArray::number(line) + ":";
        const int length = 2000 + int(random.bounded(7001));
        while (text.size() < length)
            text += " " + QByteArray::number(random.bounded(100000));
        flood += text.left(length) + "\r\n";
    }
    TerminalScreen alone(TerminalWidget::availableThemes().first());
    alone.setHistoryLimit(1000000, 1000000000);
    alone.feed(flood);
    QStringList expected = alone.takeFinishedLines().text.split(QLatin1Char('\n'));
    expected.removeLast();   // after the last line break

    TerminalWidget terminal;
    terminal.show();
    QVERIFY(QTest::qWaitForWindowExposed(&terminal));
    terminal.setScreenSize(120, 40);
    for (qsizetype at = 0; at < flood.size(); at += 4096) {
        terminal.processOutput(flood.mid(at, 4096));
        QCoreApplication::processEvents();
    }
    const QTextDocument* document = viewOf(terminal)->document();
    QTRY_COMPARE_WITH_TIMEOUT(document->lastBlock().previous().text(), expected.last(), 20000);
    QVERIFY(document->blockCount() <= terminal.maxBlocks);
    const QStringList shown = screenText(terminal).split(QLatin1Char('\n'));
    QCOMPARE(shown.last(), QString());
    QCOMPARE(shown.mid(0, shown.size() - 1), expected.mid(expected.size() - (shown.size() - 1)));
}

void TerminalTest::environment()
{
    TerminalWidget terminal;
    QCOMPARE(runToEnd(terminal, QStringLiteral("echo \"$TERM $COLORTERM $LANG\"")), 0);
    QCOMPARE(screenText(terminal),
             QStringLiteral("xterm-256color truecolor en_US.UTF-8\n\n%1\n").arg(exitLine(0)));
    QCOMPARE(terminal.title(), QStringLiteral("sh"));
    QVERIFY(!terminal.isRunning());
}

void TerminalTest::exitCodes_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("title");
    QTest::newRow("0 in green") << "/bin/sh" << QStringList{"-c", "exit 0"} << 0 << "#22c55e" << "sh";
    QTest::newRow("3 in red") << "sh" << QStringList{"-c", "exit 3"} << 3 << "#dc2626" << "sh";
    QTest::newRow("killed") << "sh" << QStringList{"-c", "kill -9 $$"} << -1 << "#dc2626" << "sh";
    QTest::newRow("no such program")
        << "ot-no-such-program" << QStringList{} << 127 << "#dc2626" << "ot-no-such-program";
}

void TerminalTest::exitCodes()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, colour);
    QFETCH(QString, title);
    TerminalWidget terminal;
    QSignalSpy started(&terminal, &TerminalWidget::processStarted);
    QSignalSpy titles(&terminal, &TerminalWidget::titleChanged);
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    QVERIFY(terminal.startProcess(program, arguments));
    QCOMPARE(started.size(), 1);
    QCOMPARE(titles.size(), 1);
    QCOMPARE(titles.first().first().toString(), title);
    QVERIFY(terminal.isRunning());
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toInt(), code);
    QVERIFY2(screenText(terminal).endsWith(QLatin1Char('\n') + exitLine(code) + QLatin1Char('\n')),
             qPrintable(screenText(terminal)));
    QCOMPARE(exitLineColour(terminal), colour);
    // One end, however the notifier fires afterwards.
    terminal.onReadyRead();
    terminal.onProcessFinished();
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
}

// The terminal hangs up a moment before the child has exited: a single look
// for its status used to miss it and show 0.
void TerminalTest::exitCodeIsNeverLostToTheRace()
{
    TerminalWidget terminal;
    for (int run = 0; run < 200; ++run) {
        const int code = runToEnd(terminal, QStringLiteral("exit 3"));
        if (code != 3)
            QFAIL(qPrintable(QStringLiteral("run %1 reported %2").arg(run).arg(code)));
    }
    QCOMPARE(screenText(terminal).count(exitLine(3)), 200);
}

void TerminalTest::secondStartWhileRunningIsRefused()
{
    TerminalWidget terminal;
    QSignalSpy started(&terminal, &TerminalWidget::processStarted);
    QVERIFY(terminal.startProcess(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("read x; echo got $x")}));
    QVERIFY(!terminal.startProcess(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo second")}));
    QVERIFY(!terminal.startSsh(QStringLiteral("h"), QStringLiteral("u"), 22, QString()));
    QCOMPARE(started.size(), 1);
    QCOMPARE(terminal.title(), QStringLiteral("sh"));
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    terminal.sendText(QString::fromUtf8("caf\xc3\xa9\r"));
    QVERIFY(finished.wait(20000));
    QVERIFY2(screenText(terminal).contains(QString::fromUtf8("got caf\xc3\xa9")), qPrintable(screenText(terminal)));
    QVERIFY(!screenText(terminal).contains(QLatin1String("second")));
    // Text for a session that has ended goes nowhere.
    terminal.sendText(QStringLiteral("ignored\r"));
}

void TerminalTest::windowSizeFollowsTheView()
{
    TerminalWidget terminal;
    QVERIFY(terminal.startProcess(
        QStringLiteral("sh"),
        {QStringLiteral("-c"),
         QStringLiteral("stty size; read x; stty size; read x; stty size; printf '%0300d\\n' 0; read x")}));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).contains(QLatin1String("40 120")), 20000);
    // A hidden view's size is makeshift: the program hears of none until it shows.
    terminal.resize(640, 330);
    terminal.sendText(QStringLiteral("\r"));
    QTRY_COMPARE_WITH_TIMEOUT(screenText(terminal).count(QLatin1String("40 120")), 2, 20000);
    terminal.show();
    QVERIFY(QTest::qWaitForWindowExposed(&terminal));
    const QFontMetrics metrics(viewOf(terminal)->font());
    const QSize viewport = viewOf(terminal)->viewport()->size();
    const QString size = QStringLiteral("%1 %2").arg(viewport.height() / metrics.height())
                             .arg(viewport.width() / metrics.averageCharWidth());
    QVERIFY(size != QLatin1String("40 120"));
    terminal.sendText(QStringLiteral("\r"));
    QTRY_VERIFY2_WITH_TIMEOUT(screenText(terminal).contains(QLatin1Char('\n') + size + QLatin1Char('\n')),
                              qPrintable(size + QLatin1Char('|') + screenText(terminal)), 20000);
    // Lines wrap where the program was told they do.
    const int columns = viewport.width() / metrics.averageCharWidth();
    QStringList rows;
    for (int left = 300; left > 0; left -= columns)
        rows << QString(std::min(left, columns), QLatin1Char('0'));
    QTRY_VERIFY2_WITH_TIMEOUT(screenText(terminal).contains(size + QLatin1Char('\n') + rows.join(QLatin1Char('\n'))),
                              qPrintable(screenText(terminal)), 20000);
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    terminal.sendText(QStringLiteral("\r"));
    QVERIFY(finished.wait(20000));
}

void TerminalTest::keysReachTheProgram()
{
    TerminalWidget terminal;
    terminal.show();
    QVERIFY(QTest::qWaitForWindowExposed(&terminal));
    QVERIFY(terminal.startProcess(QStringLiteral("sh"),
                                  {QStringLiteral("-c"),
                                   QStringLiteral("stty raw -echo; echo READY; od -An -tx1 -N 20")}));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).contains(QLatin1String("READY")), 20000);
    QPlainTextEdit* view = viewOf(terminal);
    QTest::keyClick(view, Qt::Key_Escape, Qt::ShiftModifier | Qt::AltModifier);  // 1b
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);                         // 03
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);     // 03
    QKeyEvent digit(QEvent::KeyPress, Qt::Key_1, Qt::ControlModifier, QStringLiteral("1"));
    digit.setAccepted(false);
    QApplication::sendEvent(view, &digit);                                         // nothing
    QVERIFY(digit.isAccepted());
    QTest::keyClick(view, Qt::Key_Left);                                           // 1b 5b 44
    QTest::keyClick(view, Qt::Key_PageDown, Qt::ControlModifier);                  // 1b 5b 36 7e
    QTest::keyClick(view, Qt::Key_Backspace);                                      // 7f
    QTest::keyClick(view, Qt::Key_Enter, Qt::KeypadModifier);                      // 0d
    QTest::keyClick(view, Qt::Key_Tab);                                            // 09
    QTest::keyClick(view, Qt::Key_F1);                                             // nothing
    QTest::keyClicks(view, QStringLiteral("aZ"));                                  // 61 5a
    QKeyEvent accented(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("\xc3\xa9"));
    QApplication::sendEvent(view, &accented);                                      // c3 a9
    QKeyEvent euro(QEvent::KeyPress, 0, Qt::NoModifier, QString::fromUtf8("\xe2\x82\xac"));
    QApplication::sendEvent(view, &euro);                                          // e2 82 ac
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    QVERIFY(finished.wait(20000));
    // od writes sixteen bytes a line; the view itself inserted nothing.
    const QStringList lines = screenText(terminal).split(QLatin1Char('\n'));
    const qsizetype ready = lines.indexOf(QStringLiteral("READY"));
    QVERIFY2(ready >= 0, qPrintable(lines.join(QLatin1Char('|'))));
    QCOMPARE(lines.mid(ready + 1, 2),
             (QStringList{" 1b 03 03 1b 5b 44 1b 5b 36 7e 7f 0d 09 61 5a c3", " a9 e2 82 ac"}));
}

void TerminalTest::destroyingARunningTerminalEndsItsChild()
{
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("terminated"));
    auto terminal = std::make_unique<TerminalWidget>();
    // Hang-ups are ignored, so only SIGTERM can end it.
    QVERIFY(terminal->startProcess(
        QStringLiteral("sh"),
        {QStringLiteral("-c"),
         QStringLiteral("trap '' HUP; trap 'echo term > \"$0\"; exit 0' TERM; echo READY; "
                        "while :; do sleep 0.1; done"),
         marker}));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(*terminal).contains(QLatin1String("READY")), 20000);
    terminal.reset();
    QTRY_VERIFY_WITH_TIMEOUT(readFile(marker) == "term\n", 20000);
}

// A SIGTERM that reaches a child before it has started its program ends it:
// the parent's handlers never run there. A tab closed at once does this.
void TerminalTest::earlySigtermNeverRunsTheParentsHandler()
{
    QVERIFY(::pipe2(earlySignalPipe, O_CLOEXEC | O_NONBLOCK) == 0);
    struct sigaction handler {};
    struct sigaction previous {};
    handler.sa_handler = markEarlySignal;
    ::sigemptyset(&handler.sa_mask);
    QVERIFY(::sigaction(SIGTERM, &handler, &previous) == 0);
    // A failed check must not leave the test program with this handler.
    const auto restore = qScopeGuard([&previous] {
        ::sigaction(SIGTERM, &previous, nullptr);
        ::close(earlySignalPipe[0]);
        ::close(earlySignalPipe[1]);
    });
    for (int run = 0; run < 200; ++run) {
        TerminalWidget terminal;
        QVERIFY(terminal.startProcess(QStringLiteral("sleep"), {QStringLiteral("30")}));
        // The destructor sends SIGTERM at once.
    }
    QTRY_VERIFY_WITH_TIMEOUT(childProcesses().isEmpty(), 20000);
    char mark = 0;
    const ssize_t marks = ::read(earlySignalPipe[0], &mark, 1);
    QCOMPARE(marks, ssize_t(-1));   // nothing written: the handler never ran
}

// Paste, from the view's menu entry or Ctrl+Shift+V, reaches the program as
// typed text; Ctrl+V alone stays the program's key.
void TerminalTest::pasteReachesTheProgram()
{
    TerminalWidget terminal;
    terminal.show();
    QVERIFY(QTest::qWaitForWindowExposed(&terminal));
    QVERIFY(terminal.startProcess(
        QStringLiteral("sh"),
        {QStringLiteral("-c"), QStringLiteral("echo READY; read a; read b; echo \"got:$a|$b\"")}));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).contains(QLatin1String("READY")), 20000);
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText(QString::fromUtf8("first line\n"));
    QTest::keyClick(viewOf(terminal), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    clipboard->setText(QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac\r\n"));
    viewOf(terminal)->paste();   // what the view's own Paste entry does
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    QVERIFY(finished.wait(20000));
    QVERIFY2(screenText(terminal).contains(QString::fromUtf8("got:first line|caf\xc3\xa9 \xe2\x82\xac")),
             qPrintable(screenText(terminal)));
}

// bash asks for pasted text to come marked: a multi-line paste then waits
// for Return, as text copied from a web page must. Shift+Insert pastes.
void TerminalTest::pasteIntoBashRunsNothingBeforeReturn()
{
    QTemporaryDir dir;
    TerminalWidget terminal;
    terminal.show();
    QVERIFY(QTest::qWaitForWindowExposed(&terminal));
    QVERIFY(terminal.startProcess(
        QStringLiteral("sh"),
        {QStringLiteral("-c"), QStringLiteral("cd \"$1\" && PS1='$ ' exec bash --norc --noprofile"),
         QStringLiteral("sh"), dir.path()}));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).contains(QLatin1String("$ ")), 20000);
    QApplication::clipboard()->setText(QStringLiteral("touch A\ntouch B"));
    QTest::keyClick(viewOf(terminal), Qt::Key_Insert, Qt::ShiftModifier);
    // bash shows the whole paste once it has read it; had it run the first
    // line on its own, that command would have finished before.
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).contains(QLatin1String("touch B")), 20000);
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("A"))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("B"))));
    QTest::keyClick(viewOf(terminal), Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath(QStringLiteral("A")))
                                 && QFileInfo::exists(dir.filePath(QStringLiteral("B"))),
                             20000);
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    terminal.sendText(QStringLiteral("exit\r"));
    QVERIFY(finished.wait(20000));
}

// Within the marks an ESC could end the paste and let what follows run as
// typed: none reaches the program. Without the marks, nothing is added.
void TerminalTest::bracketedPasteCannotEndItself()
{
    TerminalWidget terminal;
    QVERIFY(terminal.startProcess(QStringLiteral("sh"),
                                  {QStringLiteral("-c"),
                                   QStringLiteral("stty raw -echo; echo READY; od -An -tx1 -N 4; "
                                                  "printf '\\033[?2004h'; echo MARKED; od -An -tx1 -N 21")}));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).contains(QLatin1String("READY")), 20000);
    terminal.pasteText(QStringLiteral("a\nb\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).contains(QLatin1String("MARKED")), 20000);
    terminal.pasteText(QStringLiteral("a\x1b[201~b\nc"));
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    QVERIFY(finished.wait(20000));
    const QStringList lines = screenText(terminal).split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(QStringLiteral(" 61 0d 62 0d")), qPrintable(lines.join(QLatin1Char('|'))));
    const qsizetype marked = lines.indexOf(QStringLiteral("MARKED"));
    QCOMPARE(lines.mid(marked + 1, 2),
             (QStringList{" 1b 5b 32 30 30 7e 61 5b 32 30 31 7e 62 0d 63 1b", " 5b 32 30 31 7e"}));
}

void TerminalTest::sshArgumentsAndTitle_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("loginName");   // "-" leaves USER unset
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("title");
    QTest::newRow("host only") << "" << 22 << "" << QByteArray("tess")
                               << QStringList{"db.example"} << "tess@db.example";
    QTest::newRow("everything") << "alice" << 2222 << "/k/id_ed25519" << QByteArray("tess")
                                << QStringList{"-l", "alice", "-p", "2222", "-i", "/k/id_ed25519", "db.example"}
                                << "alice@db.example";
    QTest::newRow("port 0, USER unset") << "" << 0 << "" << QByteArray("-")
                                        << QStringList{"-p", "0", "db.example"} << "@db.example";
}

void TerminalTest::sshArgumentsAndTitle()
{
    QFETCH(QString, user);
    QFETCH(int, port);
    QFETCH(QString, key);
    QFETCH(QByteArray, loginName);
    QFETCH(QStringList, arguments);
    QFETCH(QString, title);
    FakeTools fakes;
    fakes.install(QStringLiteral("ssh"));
    ScopedEnv login("USER", loginName);
    if (loginName == "-")
        qunsetenv("USER");

    TerminalWidget terminal;
    QSignalSpy titles(&terminal, &TerminalWidget::titleChanged);
    QSignalSpy finished(&terminal, &TerminalWidget::processFinished);
    QVERIFY(terminal.startSsh(QStringLiteral("db.example"), user, port, key));
    QCOMPARE(terminal.title(), title);
    QCOMPARE(titles.size(), 1);
    QCOMPARE(titles.first().first().toString(), title);
    terminal.sendText(QStringLiteral("\x04"));   // the stand-in reads its input to the end
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toInt(), 0);
    QCOMPARE(fakes.arguments(QStringLiteral("ssh")), arguments);
}

void TerminalTest::optionLikeSshTargetsStartNothing_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("user");
    QTest::newRow("host") << "-oProxyCommand=touch x" << "";
    QTest::newRow("user") << "db.example" << "-oProxyCommand=touch x";
}

// Whoever opens the session, a word that ssh would read as an option is
// refused by the terminal itself and no ssh starts.
void TerminalTest::optionLikeSshTargetsStartNothing()
{
    QFETCH(QString, host);
    QFETCH(QString, user);
    TerminalWidget terminal;
    QVERIFY(!terminal.startSsh(host, user, 22, QString()));
    QVERIFY(childProcesses().isEmpty());
    QVERIFY2(screenText(terminal).contains(QLatin1String("starts with \"-\"")), qPrintable(screenText(terminal)));
}

OT_TEST_MAIN(TerminalTest)
#include "tst_terminal.moc"
