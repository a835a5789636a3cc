// The main window's frame: its nine pages, and what it remembers between runs.
#include "app/MainWindow.h"
#include "config/Settings.h"
#include "config/UserProfile.h"

#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

class MainWindowTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void pagesInOrder();
    void firstStartDefaults();
    void geometryAndPageSurviveRestart();
    void storedPageOutOfRangeIsIgnored();
    void docsDirCases();

private:
    std::unique_ptr<TestHome> home;
};

void MainWindowTest::pagesInOrder()
{
    MainWindow window;
    auto* tabs = window.findChild<QTabWidget*>();
    QVERIFY(tabs);
    const QStringList titles{"Device Inspector", "Code Signing", "Certificates", "GPG / SSH",
                             "Secure Vault", "DevOps Tools", "USB Drives", "GitHub", "Session Log"};
    const QStringList tips{
        "Hardware keys: detect, inspect, FIDO2 PIN/credentials/reset.\nDouble-click device for full config. Right-click for quick actions.",
        "Sign macOS apps + Windows PE binaries with hardware tokens",
        "X.509 certificate lifecycle: import, inspect, expiry alerts",
        "GPG/OpenPGP keyring, SSH keys, SSH config editor",
        "AES-256 encrypted .qvimgv containers for keys and credentials",
        "SSH/SFTP/SCP + Kubernetes, Docker, Ansible, Terraform, SOPS",
        "Detect, analyze, and encrypt USB storage devices",
        "GitHub integration: SSH/GPG keys, secrets, security, workflows",
        QString::fromUtf8("ISO 8601 audit trail \u2014 PINs and secrets never recorded")};
    QCOMPARE(tabs->count(), 9);
    for (int i = 0; i < 9; ++i) {
        QCOMPARE(tabs->tabText(i), titles.at(i));
        QCOMPARE(tabs->tabToolTip(i), tips.at(i));
    }
    QVERIFY(tabs->usesScrollButtons());
    QCOMPARE(window.windowTitle(), QStringLiteral("Ostrevan Tessaril"));
    QCOMPARE(window.minimumSize(), QSize(1100, 750));
}

void MainWindowTest::firstStartDefaults()
{
    MainWindow window;
    QCOMPARE(window.size(), QSize(1280, 860));
    QCOMPARE(window.findChild<QTabWidget*>()->currentIndex(), 0);
    QVERIFY(!QFile::exists(UserProfile::configPath()));
}

void MainWindowTest::geometryAndPageSurviveRestart()
{
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(1200, 800);
        window.findChild<QTabWidget*>()->setCurrentIndex(6);
    }
    {
        AppSettings settings;
        QVERIFY(settings->contains("geometry"));
        QVERIFY(settings->contains("windowState"));
        QCOMPARE(settings->value("lastTab").toInt(), 6);
    }
    MainWindow again;
    QCOMPARE(again.findChild<QTabWidget*>()->currentIndex(), 6);
    QCOMPARE(again.size(), QSize(1200, 800));
}

void MainWindowTest::storedPageOutOfRangeIsIgnored()
{
    {
        AppSettings settings;
        settings->setValue("lastTab", 12);
    }
    MainWindow window;
    QCOMPARE(window.findChild<QTabWidget*>()->currentIndex(), 0);
}

void MainWindowTest::docsDirCases()
{
    QTemporaryDir root;
    const QString bin = root.path() + "/bundle/MacOS";
    QDir().mkpath(bin);
    QCOMPARE(MainWindow::docsDirFor(bin), QString());
    QDir().mkpath(root.path() + "/bundle/docs");
    QCOMPARE(MainWindow::docsDirFor(bin), QFileInfo(root.path() + "/bundle/docs").canonicalFilePath());
    QDir().mkpath(root.path() + "/bundle/Resources/docs");
    QCOMPARE(MainWindow::docsDirFor(bin),
             QFileInfo(root.path() + "/bundle/Resources/docs").canonicalFilePath());
}

OT_TEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
