// The yardstick of the launch measurement (launch_to_mapped.sh): a bare Qt
// window as the program's is, with nine empty tabs, a menu bar and a status
// bar, and nothing else.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabWidget>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    window.resize(1280, 860);
    for (const char* title : {"File", "Key", "View", "Tools", "Help"}) {
        QMenu* menu = window.menuBar()->addMenu(QString::fromLatin1(title));
        menu->addAction(QStringLiteral("Entry"));
    }
    auto* tabs = new QTabWidget(&window);
    for (int i = 1; i <= 9; ++i)
        tabs->addTab(new QWidget, QStringLiteral("Page %1").arg(i));
    window.setCentralWidget(tabs);
    window.statusBar()->showMessage(QStringLiteral("Ready"));
    window.show();
    return app.exec();
}
