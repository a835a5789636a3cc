// The vault engine on the hdiutil stand-in (real openssl inside): the command
// lines it runs, where the pass phrase goes, the image's round trip through a
// mount, and the state it keeps when hdiutil fails, hangs or is missing.
#include "vault/TessarilVault.h"

#include "FakeTools.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "VaultFixture.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {

const QString kPass = QStringLiteral("correct horse battery staple");

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

QStringList createArgs(const QString& size, const QString& target)
{
    return {"create", "-size", size, "-encryption", "AES-256", "-stdinpass", "-type", "SPARSEBUNDLE",
            "-fs", "APFS", "-volname", "Tessaril Vault", target};
}

QStringList attachArgs(const QString& path)
{
    return {"attach", path, "-stdinpass", "-nobrowse", "-noverify", "-noautoopen", "-mountpoint",
            TessarilVault::fixedMountPoint()};
}

bool mountedFolderExists()
{
    return QFileInfo(TessarilVault::fixedMountPoint()).isDir();
}

} // namespace

class VaultEngineTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        home = std::make_unique<TestHome>();
        tools = std::make_unique<FakeTools>();
        VaultFixture::installHdiutil(*tools);
    }
    void cleanup()
    {
        tools.reset();
        home.reset();
    }

    void mountRootFollowsTheEnvironment();
    void create_data();
    void create();
    void createRefusesBeforeRunning_data();
    void createRefusesBeforeRunning();
    void createFailureQuotesHdiutil();
    void createReportsAFailedMove();
    void mountRoundTrip();
    void mountWrongPassphrase();
    void mountReplacesTheVolumeThere();
    void mountCutOff();
    void withoutHdiutil();
    void unmountWithNothingMounted();
    void unmountBusyKeepsState();
    void unmountVolumeOfAnEarlierRun();
    void writableProbe();

private:
    QString vaultPath(const QString& name) const { return home->path() + "/x/" + name; }

    std::unique_ptr<TestHome> home;
    std::unique_ptr<FakeTools> tools;
};

void VaultEngineTest::mountRootFollowsTheEnvironment()
{
    QCOMPARE(TessarilVault::fixedMountPoint(), home->volumesRoot() + "/Tessaril Vault");
    {
        ScopedEnv unset("OT_VOLUMES_ROOT", QByteArray());
        QCOMPARE(TessarilVault::fixedMountPoint(), QStringLiteral("/Volumes/Tessaril Vault"));
    }
}

void VaultEngineTest::create_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("sizeMB");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("size");
    QTest::newRow("qvimgv ending dropped") << "v.qvimgv" << 256 << "v" << "256m";
    QTest::newRow("ending compared case-sensitively") << "v.QVIMGV" << 1024 << "v.QVIMGV" << "1024m";
    QTest::newRow("no ending") << "v" << 64 << "v" << "64m";
}

void VaultEngineTest::create()
{
    QFETCH(QString, name);
    QFETCH(int, sizeMB);
    QFETCH(QString, target);
    QFETCH(QString, size);
    TessarilVault vault;
    QSignalSpy logs(&vault, &TessarilVault::vaultLog);
    QSignalSpy errors(&vault, &TessarilVault::vaultError);
    const QString path = vaultPath(name);

    QVERIFY(vault.create(path, sizeMB, kPass, "APFS"));

    QCOMPARE(tools->callCount("hdiutil"), 1);
    QCOMPARE(tools->arguments("hdiutil"), createArgs(size, vaultPath(target)));
    QCOMPARE(tools->standardInput("hdiutil"), (kPass + "\n").toUtf8());
    QVERIFY(QFileInfo(path + "/key.wrapped").isFile());
    QVERIFY(!QFileInfo::exists(vaultPath(target) + ".sparsebundle"));
    QCOMPARE(texts(logs), QStringList({QStringLiteral("Creating %1MB encrypted vault: %2").arg(sizeMB).arg(path),
                                       "Vault created: " + path}));
    QVERIFY(errors.isEmpty());
    const VaultInfo info = vault.info();
    QCOMPARE(info.path, path);
    QCOMPARE(info.sizeMB, sizeMB);
    QCOMPARE(info.encryption, QStringLiteral("AES-256"));
    QCOMPARE(info.filesystem, QStringLiteral("APFS"));
    QVERIFY(!info.mounted);
    QVERIFY(!mountedFolderExists());
}

void VaultEngineTest::createRefusesBeforeRunning_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<QString>("error");
    // The bundle of a killed run sits under a pass phrase nobody knows.
    QTest::newRow("something at the path") << "v.qvimgv" << "Vault already exists: <x>/v.qvimgv";
    QTest::newRow("stale bundle") << "v.sparsebundle"
                                  << "Vault creation failed: <x>/v.sparsebundle already exists";
}

void VaultEngineTest::createRefusesBeforeRunning()
{
    QFETCH(QString, existing);
    QFETCH(QString, error);
    QVERIFY(writeFile(vaultPath(existing) + "/marker", "left alone"));
    TessarilVault vault;
    QSignalSpy errors(&vault, &TessarilVault::vaultError);

    QVERIFY(!vault.create(vaultPath("v.qvimgv"), 256, kPass, "APFS"));

    QCOMPARE(texts(errors), QStringList{error.replace("<x>", home->path() + "/x")});
    QCOMPARE(tools->callCount("hdiutil"), 0);
    QCOMPARE(QDir(vaultPath(existing)).entryList(QDir::Files), QStringList{"marker"});
    QCOMPARE(vault.info().path, QString());
}

void VaultEngineTest::createFailureQuotesHdiutil()
{
    const QByteArray err = QByteArray(300, 'a') + QByteArray(200, 'b');
    tools->answer("hdiutil", {}, 1, err);
    TessarilVault vault;
    QSignalSpy errors(&vault, &TessarilVault::vaultError);

    QVERIFY(!vault.create(vaultPath("v.qvimgv"), 256, kPass, "APFS"));

    QCOMPARE(texts(errors), QStringList{"Vault creation failed: " + QString(200, 'a')});
    QVERIFY(!QFileInfo::exists(vaultPath("v.qvimgv")));
}

void VaultEngineTest::createReportsAFailedMove()
{
    // Something takes the path while hdiutil runs: the bundle cannot be moved there.
    tools->setHook("hdiutil", QStringLiteral("mkdir -p '%1/taken'").arg(vaultPath("v.qvimgv")));
    TessarilVault vault;
    QSignalSpy logs(&vault, &TessarilVault::vaultLog);
    QSignalSpy errors(&vault, &TessarilVault::vaultError);

    QVERIFY(!vault.create(vaultPath("v.qvimgv"), 256, kPass, "APFS"));

    QCOMPARE(texts(errors), QStringList{QStringLiteral("Vault creation failed: could not move %1 to %2")
                                            .arg(vaultPath("v.sparsebundle"), vaultPath("v.qvimgv"))});
    QVERIFY(QFileInfo(vaultPath("v.sparsebundle") + "/key.wrapped").isFile());
    QVERIFY(!texts(logs).contains("Vault created: " + vaultPath("v.qvimgv")));
    QCOMPARE(vault.info().path, QString());
}

void VaultEngineTest::mountRoundTrip()
{
    const QString path = vaultPath("v.qvimgv");
    {
        TessarilVault creator;
        QVERIFY(creator.create(path, 512, kPass, "ExFAT"));
    }
    TessarilVault vault;
    QSignalSpy logs(&vault, &TessarilVault::vaultLog);
    QSignalSpy mounted(&vault, &TessarilVault::vaultMounted);
    const QString point = TessarilVault::fixedMountPoint();

    QVERIFY(vault.mount(path, kPass));

    QCOMPARE(tools->arguments("hdiutil"), attachArgs(path));
    QCOMPARE(tools->standardInput("hdiutil"), (kPass + "\n").toUtf8());
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(mounted.at(0).at(0).toString(), point);
    QCOMPARE(texts(logs), QStringList({"Mounting vault: " + path, "Vault mounted: " + point}));
    QCOMPARE(QDir(point).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name),
             QStringList({"certificates", "cloud", "files", "gpg", "ssh"}));
    QVERIFY(vault.isMounted());
    QCOMPARE(vault.mountPoint(), point);
    QVERIFY(vault.isWritable());
    // This engine did not create the vault: only the mount fields are known.
    const VaultInfo info = vault.info();
    QCOMPARE(info.path, path);
    QCOMPARE(info.mountPoint, point);
    QCOMPARE(info.sizeMB, 256);
    QVERIFY(info.mounted);
    QVERIFY(info.encrypted);
    QCOMPARE(info.encryption, QString());
    QCOMPARE(info.filesystem, QString());

    QVERIFY(writeFile(point + "/files/note.txt", "kept inside"));
    QVERIFY(vault.unmount());
    QVERIFY(!mountedFolderExists());
    QVERIFY(!vault.isMounted());
    QCOMPARE(vault.info().mountPoint, QString());
    // The text is inside the image only in encrypted form.
    const QByteArray image = readFile(path + "/volume.tar.enc");
    QVERIFY(!image.isEmpty());
    QVERIFY(!image.contains("kept inside"));
    QVERIFY(vault.mount(path, kPass));
    QCOMPARE(readFile(point + "/files/note.txt"), QByteArray("kept inside"));

    // The pass phrase went only to standard input, never into an argument.
    for (int call = 1; call <= tools->callCount("hdiutil"); ++call) {
        for (const QString& arg : tools->arguments("hdiutil", call))
            QVERIFY2(!arg.contains("horse"), qPrintable(arg));
    }
}

void VaultEngineTest::mountWrongPassphrase()
{
    const QString path = vaultPath("v.qvimgv");
    QVERIFY(VaultFixture::makeImage(path, kPass));
    TessarilVault vault;
    QSignalSpy errors(&vault, &TessarilVault::vaultError);
    QSignalSpy mounted(&vault, &TessarilVault::vaultMounted);

    QVERIFY(!vault.mount(path, "not the pass phrase"));

    QCOMPARE(texts(errors), QStringList{QString::fromUtf8("Mount failed \u2014 check your password.")});
    QVERIFY(mounted.isEmpty());
    QVERIFY(!mountedFolderExists());
    QVERIFY(!vault.isMounted());

    QVERIFY(!vault.mount(vaultPath("absent.qvimgv"), kPass));
    QCOMPARE(errors.last().at(0).toString(), "Vault not found: " + vaultPath("absent.qvimgv"));
}

void VaultEngineTest::mountReplacesTheVolumeThere()
{
    const QString first = vaultPath("first.qvimgv");
    const QString second = vaultPath("second.qvimgv");
    QVERIFY(VaultFixture::makeImage(first, kPass));
    QVERIFY(VaultFixture::makeImage(second, "another pass phrase"));
    TessarilVault vault;
    QVERIFY(vault.mount(first, kPass));
    QVERIFY(writeFile(TessarilVault::fixedMountPoint() + "/files/from-first", "1"));
    QSignalSpy logs(&vault, &TessarilVault::vaultLog);
    QSignalSpy unmounted(&vault, &TessarilVault::vaultUnmounted);
    QSignalSpy mounted(&vault, &TessarilVault::vaultMounted);

    QVERIFY(vault.mount(second, "another pass phrase"));

    QCOMPARE(texts(logs).first(), QStringLiteral("Detaching existing mount (may be read-only)..."));
    QCOMPARE(tools->arguments("hdiutil", tools->callCount("hdiutil") - 1),
             QStringList({"detach", TessarilVault::fixedMountPoint(), "-force"}));
    QCOMPARE(unmounted.size(), 1);
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(vault.info().path, second);
    QVERIFY(vault.info().mounted);
    QVERIFY(!QFileInfo::exists(TessarilVault::fixedMountPoint() + "/files/from-first"));
}

void VaultEngineTest::mountCutOff()
{
    const QString path = vaultPath("v.qvimgv");
    QVERIFY(VaultFixture::makeImage(path, kPass));
    // The attach dies half-way (as a killed or hung one does) and leaves a
    // volume behind at the mount point: it gets a detach.
    tools->setHook("hdiutil", QStringLiteral("mkdir -p '%1'; kill -SEGV $$").arg(TessarilVault::fixedMountPoint()), 1);
    TessarilVault vault;
    QSignalSpy errors(&vault, &TessarilVault::vaultError);
    QSignalSpy mounted(&vault, &TessarilVault::vaultMounted);

    QVERIFY(!vault.mount(path, kPass));

    QCOMPARE(tools->callCount("hdiutil"), 2);
    QCOMPARE(tools->arguments("hdiutil", 1).first(), QStringLiteral("attach"));
    QCOMPARE(tools->arguments("hdiutil", 2), QStringList({"detach", TessarilVault::fixedMountPoint(), "-force"}));
    QVERIFY(texts(errors).contains("hdiutil crashed"));
    QCOMPARE(errors.last().at(0).toString(), QStringLiteral("Mount failed."));
    QVERIFY(mounted.isEmpty());
    QVERIFY(!vault.info().mounted);
}

void VaultEngineTest::withoutHdiutil()
{
    // As on Linux: nothing named hdiutil on the search path or at the fallback.
    FakeTools empty(false);
    const QString path = vaultPath("v.qvimgv");
    TessarilVault vault;
    vault.startTimeoutMs = 2000;
    QSignalSpy errors(&vault, &TessarilVault::vaultError);

    QVERIFY(!vault.create(path, 256, kPass, "APFS"));
    QCOMPARE(texts(errors), QStringList{"Vault creation failed: hdiutil failed to start"});

    QVERIFY(QDir().mkpath(path));
    errors.clear();
    QVERIFY(!vault.mount(path, kPass));
    QCOMPARE(texts(errors), QStringList({"hdiutil failed to start", "Mount failed."}));
}

void VaultEngineTest::unmountWithNothingMounted()
{
    TessarilVault vault;
    QSignalSpy logs(&vault, &TessarilVault::vaultLog);
    QSignalSpy errors(&vault, &TessarilVault::vaultError);
    QSignalSpy unmounted(&vault, &TessarilVault::vaultUnmounted);

    QVERIFY(vault.unmount());

    QCOMPARE(tools->callCount("hdiutil"), 0);
    QVERIFY(logs.isEmpty());
    QVERIFY(errors.isEmpty());
    QVERIFY(unmounted.isEmpty());
}

void VaultEngineTest::unmountBusyKeepsState()
{
    const QString path = vaultPath("v.qvimgv");
    TessarilVault vault;
    QVERIFY(VaultFixture::makeAndMount(vault, path, kPass));
    const QByteArray busy = "hdiutil: couldn't unmount \"disk4\" - Resource busy\n";
    tools->answer("hdiutil", {}, 16, busy, tools->callCount("hdiutil") + 1);
    QSignalSpy errors(&vault, &TessarilVault::vaultError);
    QSignalSpy unmounted(&vault, &TessarilVault::vaultUnmounted);

    QVERIFY(!vault.unmount());

    QCOMPARE(texts(errors), QStringList({QString::fromUtf8(busy).trimmed(),
                                         QString::fromUtf8("Unmount failed \u2014 volume may be in use.")}));
    QVERIFY(unmounted.isEmpty());
    QVERIFY(vault.info().mounted);
    QCOMPARE(vault.info().mountPoint, TessarilVault::fixedMountPoint());
    QVERIFY(vault.isMounted());

    QVERIFY(vault.unmount());
    QVERIFY(!mountedFolderExists());
}

void VaultEngineTest::unmountVolumeOfAnEarlierRun()
{
    const QString path = vaultPath("v.qvimgv");
    {
        // A vault stays attached when the program quits.
        TessarilVault earlier;
        QVERIFY(VaultFixture::makeAndMount(earlier, path, kPass));
    }
    QVERIFY(mountedFolderExists());
    TessarilVault vault;
    QVERIFY(vault.isMounted());
    QCOMPARE(vault.mountPoint(), TessarilVault::fixedMountPoint());
    QSignalSpy unmounted(&vault, &TessarilVault::vaultUnmounted);

    QVERIFY(vault.unmount());

    QCOMPARE(tools->arguments("hdiutil"), QStringList({"detach", TessarilVault::fixedMountPoint(), "-force"}));
    QCOMPARE(unmounted.size(), 1);
    QVERIFY(!mountedFolderExists());
}

void VaultEngineTest::writableProbe()
{
    TessarilVault vault;
    QVERIFY(!vault.isWritable());
    const QString point = TessarilVault::fixedMountPoint();
    QVERIFY(QDir().mkpath(point));
    QVERIFY(vault.isWritable());
    QVERIFY(!QFileInfo::exists(point + "/.qv_write_test"));
    QCOMPARE(QDir(point).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    // A link planted at a name the probe might use: its target is left alone.
    const QString outside = home->path() + "/outside.txt";
    QVERIFY(writeFile(outside, "someone's file"));
    QVERIFY(QFile::link(outside, point + "/.qv_write_test"));
    QVERIFY(vault.isWritable());
    QCOMPARE(readFile(outside), QByteArray("someone's file"));
    QCOMPARE(QDir(point).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
             QStringList{".qv_write_test"});
    if (geteuid() == 0)
        QSKIP("root writes into a read-only folder");
    QVERIFY(QFile::setPermissions(point, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QVERIFY(!vault.isWritable());
    QFile::setPermissions(point, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

OT_TEST_MAIN(VaultEngineTest)
#include "tst_vaultengine.moc"
