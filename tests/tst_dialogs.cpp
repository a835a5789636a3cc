// The About box, the profile editor, the Preferences dialog and the shortcuts
// table, driven as a user would drive them.
#include "app/AboutDialog.h"

#include "FakeTools.h"
#include "TestHome.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

namespace {

// The value label beside a caption in a label/value grid.
QLabel* valueBeside(QWidget* dialog, const QString& caption)
{
    for (QGridLayout* grid : dialog->findChildren<QGridLayout*>()) {
        for (int row = 0; row < grid->rowCount(); ++row) {
            QLayoutItem* left = grid->itemAtPosition(row, 0);
            QLayoutItem* right = grid->itemAtPosition(row, 1);
            auto* label = left ? qobject_cast<QLabel*>(left->widget()) : nullptr;
            if (label && label->text() == caption && right)
                return qobject_cast<QLabel*>(right->widget());
        }
    }
    return nullptr;
}

} // namespace

class DialogsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void aboutToolRows_data();
    void aboutToolRows();
    void aboutShowsBuildLibfido2Version();

private:
    std::unique_ptr<TestHome> home;
};

void DialogsTest::aboutToolRows_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QStringList>("colours");
    QTest::newRow("none on PATH") << false << QStringList{"#dc2626", "#dc2626", "#f59e0b"};
    QTest::newRow("all on PATH") << true << QStringList{"#22c55e", "#22c55e", "#22c55e"};
}

void DialogsTest::aboutToolRows()
{
    QFETCH(bool, installed);
    QFETCH(QStringList, colours);
    // Only the stand-in folder on PATH: the real tools of this machine are out of sight.
    FakeTools fakes(false);
    const QStringList tools{"ykman", "pkcs11-tool", "osslsigncode"};
    if (installed) {
        for (const QString& tool : tools)
            fakes.install(tool);
    }
    AboutDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About Ostrevan Tessaril"));
    const QStringList captions{"ykman:", "opensc:", "osslsigncode:"};
    for (int i = 0; i < captions.size(); ++i) {
        QLabel* value = valueBeside(&dialog, captions.at(i));
        QVERIFY2(value, qPrintable(captions.at(i)));
        QCOMPARE(value->text(), installed ? QStringLiteral("Available") : QStringLiteral("Not Found"));
        QVERIFY2(value->styleSheet().contains(colours.at(i)), qPrintable(value->styleSheet()));
    }
    QLabel* qt = valueBeside(&dialog, QStringLiteral("Qt:"));
    QVERIFY(qt);
    QCOMPARE(qt->text(), QString::fromLatin1(qVersion()));
}

void DialogsTest::aboutShowsBuildLibfido2Version()
{
    QProcess pkgConfig;
    pkgConfig.start(QStringLiteral("pkg-config"), {"--modversion", "libfido2"});
    QVERIFY(pkgConfig.waitForFinished());
    const QString expected = QString::fromUtf8(pkgConfig.readAllStandardOutput()).trimmed();
    QVERIFY(!expected.isEmpty());

    AboutDialog dialog;
    QLabel* value = valueBeside(&dialog, QStringLiteral("libfido2:"));
    QVERIFY(value);
    QCOMPARE(value->text(), expected);

    // Close accepts; the caller ignores the result either way.
    dialog.show();
    auto* close = dialog.findChild<QPushButton*>();
    QVERIFY(close);
    close->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

OT_TEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
