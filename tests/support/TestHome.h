#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A fresh temporary HOME (with XDG_RUNTIME_DIR and XDG_CONFIG_HOME inside it)
// for as long as the object lives; the previous values come back afterwards.
// OT_VOLUMES_ROOT points inside it too, so vaults are attached at
// <home>/Volumes/Tessaril Vault and no test reaches "/Volumes".
// Create it before anything computes a path from the home folder.
class TestHome
{
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    QString path() const { return dir.path(); }
    // The program's configuration folder inside this home (not created).
    QString configDir() const;
    // Where vault volumes are attached (OT_VOLUMES_ROOT; not created).
    QString volumesRoot() const;

private:
    QTemporaryDir dir;
    QByteArray oldHome, oldRuntime, oldConfig, oldVolumes;
    bool hadVolumes;
};

// Sets a variable for as long as the object lives.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    QByteArray name, oldValue;
    bool hadValue;
};

// The whole test executable runs under its own HOME, set before the
// application object exists, so no test can reach the real home.
#define OT_TEST_MAIN(TestClass)                                   \
    int main(int argc, char** argv)                               \
    {                                                             \
        TestHome processHome;                                     \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))       \
            qputenv("QT_QPA_PLATFORM", "offscreen");              \
        QApplication app(argc, argv);                             \
        app.setAttribute(Qt::AA_Use96Dpi, true);                  \
        TestClass tc;                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                \
        return QTest::qExec(&tc, argc, argv);                     \
    }
