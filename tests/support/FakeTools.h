#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A folder of stand-in executables put first on PATH for as long as the object
// lives. Each stand-in records its arguments and standard input and answers as
// the test scripts it (tests/fakes/lib/record.sh); calls are numbered from 1.
class FakeTools
{
public:
    // keepSystemPath false: PATH holds only the stand-in folder, so that no
    // real tool is found unless linkReal() puts it there.
    explicit FakeTools(bool keepSystemPath = true);
    ~FakeTools();
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    QString binDir() const;
    QString stateDir() const;

    // Puts tests/fakes/<fake> on PATH under the given name.
    void install(const QString& name, const QString& fake = QStringLiteral("generic"));
    // Puts a real program on the isolated PATH.
    void linkReal(const QString& name);

    // call 0 scripts every call; N only call N.
    void answer(const QString& name, const QByteArray& out, int exitCode = 0,
                const QByteArray& err = {}, int call = 0);
    void setSleep(const QString& name, double seconds, int call = 0);
    // Bash sourced after the call is recorded; "$@" holds the arguments.
    void setHook(const QString& name, const QString& bash, int call = 0);
    // Records every call of name, then hands it to the real program with
    // the same arguments and standard input.
    void recordReal(const QString& name, const QString& realProgram);

    int callCount(const QString& name) const;
    // call -1 is the last one.
    QStringList arguments(const QString& name, int call = -1) const;
    QByteArray standardInput(const QString& name, int call = -1) const;
    // Forget all calls and answers.
    void reset();

private:
    QString stateFile(const QString& name, int call, const QString& suffix) const;
    void write(const QString& path, const QByteArray& data) const;

    QTemporaryDir dir;
    QByteArray oldPath, oldState, oldLib;
};
