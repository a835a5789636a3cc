// The terminal widget: its screen (bytes in, coloured text out, no
// pseudo-terminal) and its session (real programs on a real pseudo-terminal:
// environment, window size, keys, exit codes, the end of the child).
#include "ui/TerminalWidget.h"

#include "FakeTools.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include <memory>

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

    void environment();
    void exitCodes_data();
    void exitCodes();
    void exitCodeIsNeverLostToTheRace();
    void secondStartWhileRunningIsRefused();
    void windowSizeFollowsTheView();
    void keysReachTheProgram();
    void destroyingARunningTerminalEndsItsChild();
    void sshArgumentsAndTitle_data();
    void sshArgumentsAndTitle();
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

void TerminalTest::oldLinesFallAwayAtTheTop()
{
    TerminalWidget terminal;
    QByteArray flood;
    for (int line = 1; line <= 10500; ++line)
        flood += QByteArray::number(line) + "\r\n";
    for (qsizetype at = 0; at < flood.size(); at += 4096)
        terminal.processOutput(flood.mid(at, 4096));
    const QTextDocument* document = viewOf(terminal)->document();
    QCOMPARE(document->blockCount(), 10000);
    QCOMPARE(document->firstBlock().text(), QStringLiteral("502"));
    QCOMPARE(document->lastBlock().previous().text(), QStringLiteral("10500"));
    terminal.appendText(QStringLiteral("end\n"), QColor(), QColor());
    QCOMPARE(document->blockCount(), 10000);
    QCOMPARE(document->firstBlock().text(), QStringLiteral("503"));
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
        {QStringLiteral("-c"), QStringLiteral("stty size; read x; stty size; read x; stty size; read x")}));
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

OT_TEST_MAIN(TerminalTest)
#include "tst_terminal.moc"
