// The modal-dialog driver every other test answers its dialogs with: it must
// give each answer as a person would, and fail a test rather than hang it.
#include "ModalDriver.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

class ModalDriverTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fileDialogsInARowGetTheTypedPath();
    void unanswerableDialogFailsAndCloses_data();
    void unanswerableDialogFailsAndCloses();
    void unusedAnswerFailsAtTheEnd();
};

void ModalDriverTest::fileDialogsInARowGetTheTypedPath()
{
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.log"));
    const QString second = dir.filePath(QStringLiteral("second.log"));
    const QString other = dir.filePath(QStringLiteral("other.log"));
    writeFile(other, "already here\n");

    ModalDriver driver;
    driver.chooseFile(first);
    // As in a second dialog of a run: a file picked in the list and the focus
    // in the name field, where selectFile() would change nothing.
    bool focused = false;
    driver.chooseFile(second, [&](QFileDialog* dialog) {
        dialog->selectFile(other);
        auto* nameEdit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        nameEdit->setFocus();
        focused = nameEdit->hasFocus();
    });
    QCOMPARE(QFileDialog::getSaveFileName(nullptr, QStringLiteral("First"), dir.filePath(QStringLiteral("a.log"))),
             first);
    QCOMPARE(QFileDialog::getSaveFileName(nullptr, QStringLiteral("Second"), dir.filePath(QStringLiteral("b.log"))),
             second);
    QVERIFY(focused);
    QCOMPARE(driver.titles, (QStringList{"First", "Second"}));
    QCOMPARE(driver.pending(), 0);

    // Choosing a file that exists asks before replacing it, and that question
    // gets the next answer.
    driver.chooseFile(other);
    driver.pressButton(QMessageBox::Yes);
    QCOMPARE(QFileDialog::getSaveFileName(nullptr, QStringLiteral("Third")), other);
    QCOMPARE(driver.titles.mid(2), (QStringList{"Third", "Third"}));
    QVERIFY(driver.texts.last().contains(QLatin1String("already exists")));
}

void ModalDriverTest::unanswerableDialogFailsAndCloses_data()
{
    QTest::addColumn<QString>("queued");   // "file", "yes", "item" or "" for nothing
    QTest::addColumn<QString>("opened");   // "box" or "items"
    QTest::addColumn<QString>("failure");
    QTest::newRow("file answer meets a message box")
        << "file" << "box" << "choosing /tmp/x.log (for a QFileDialog) met QMessageBox \"Disk Full\" (No space left.)";
    QTest::newRow("button the box lacks")
        << "yes" << "box" << "pressing Yes could not answer QMessageBox \"Disk Full\" (No space left.): it has no such button";
    QTest::newRow("item not offered")
        << "item" << "items" << "typing \"blue\" could not answer QInputDialog \"Colour\" (Pick one:): it does not take \"blue\"";
    QTest::newRow("nothing answers") << "" << "box" << "nothing answered QMessageBox \"Disk Full\" (No space left.) within 300 ms";
}

void ModalDriverTest::unanswerableDialogFailsAndCloses()
{
    QFETCH(QString, queued);
    QFETCH(QString, opened);
    QFETCH(QString, failure);
    QStringList failures;
    ModalDriver driver;
    driver.answerTimeoutMs = 300;
    driver.onFailure = [&failures](const QString& message) { failures << message; };
    if (queued == QLatin1String("file"))
        driver.chooseFile(QStringLiteral("/tmp/x.log"));
    else if (queued == QLatin1String("yes"))
        driver.pressButton(QMessageBox::Yes);
    else if (queued == QLatin1String("item"))
        driver.typeText(QStringLiteral("blue"));

    // Each returns only once the driver has closed its dialog.
    QElapsedTimer clock;
    clock.start();
    if (opened == QLatin1String("box")) {
        QMessageBox::warning(nullptr, QStringLiteral("Disk Full"), QStringLiteral("No space left."));
    } else {
        bool ok = true;
        QInputDialog::getItem(nullptr, QStringLiteral("Colour"), QStringLiteral("Pick one:"),
                              {QStringLiteral("red"), QStringLiteral("green")}, 0, false, &ok);
        QVERIFY(!ok);
    }
    QCOMPARE(failures, QStringList{"ModalDriver: " + failure});
    if (queued.isEmpty())
        QVERIFY(clock.elapsed() >= driver.answerTimeoutMs);
    QCOMPARE(driver.titles.size(), 1);
    QVERIFY(!QApplication::activeModalWidget());
    // A mismatched answer stays queued for the dialog it was meant for.
    QCOMPARE(driver.pending(), queued == QLatin1String("file") ? 1 : 0);
    driver.onFailure = [](const QString&) {};
}

void ModalDriverTest::unusedAnswerFailsAtTheEnd()
{
    QStringList failures;
    {
        ModalDriver driver;
        driver.onFailure = [&failures](const QString& message) { failures << message; };
        driver.pressButton(QMessageBox::Ok);
        driver.reject();
        QCOMPARE(QMessageBox::information(nullptr, QStringLiteral("Saved"), QStringLiteral("Done.")), QMessageBox::Ok);
    }
    QCOMPARE(failures, QStringList{"ModalDriver: 1 answer(s) never used: rejecting"});
}

OT_TEST_MAIN(ModalDriverTest)
#include "tst_modaldriver.moc"
