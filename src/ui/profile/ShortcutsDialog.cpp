#include "ui/profile/ShortcutsDialog.h"
#include "app/StyleManager.h"

#include "ui/widgets/SectionTitle.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

ShortcutsDialog::ShortcutsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("Keyboard Shortcuts \u2014 Ostrevan Tessaril"));
    setMinimumSize(420, 400);
    resize(480, 460);
    auto* layout = new QVBoxLayout(this);

    QLabel* title = makeSectionTitle(QStringLiteral("Keyboard Shortcuts"), this);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    struct Row {
        const char* keys; // null: a separator row
        const char* action;
    };
    static const Row rows[] = {
        {"Ctrl+,", "Preferences"},
        {"Ctrl+R", "Refresh Devices"},
        {"Ctrl+S", "Sign File"},
        {"Ctrl+T", "Toggle Theme"},
        {"Ctrl+M", "Site Manager"},
        {"Ctrl+D", "Network Diagnostics"},
        {"Ctrl+P", "My Profile"},
        {nullptr, nullptr},
        {"Ctrl+1", "Device Inspector"},
        {"Ctrl+2", "Code Signing"},
        {"Ctrl+3", "Certificates"},
        {"Ctrl+4", "GPG / SSH"},
        {"Ctrl+5", "Session Log"},
        {nullptr, nullptr},
        {"Ctrl+/", "Keyboard Shortcuts"},
        {"F1", "About Tessaril"},
        {"Ctrl+Q", "Quit"},
    };
    QString html = QStringLiteral("<table cellpadding='4' width='100%'>");
    for (const Row& row : rows) {
        if (!row.keys) {
            html += QStringLiteral("<tr><td colspan='2'><hr style='border-color: #374151;'/></td></tr>");
            continue;
        }
        html += QStringLiteral("<tr><td><b style='color: ") + StyleManager::color(StyleManager::Accent).name()
                + QStringLiteral(";'>%1</b></td><td>%2</td></tr>")
                    .arg(QString::fromLatin1(row.keys), QString::fromLatin1(row.action));
    }
    html += QStringLiteral("</table>");
    // The dialog opens tall enough for all seventeen rows; the scroll area
    // only matters once the user makes it smaller.
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* table = new QLabel(html);
    table->setTextFormat(Qt::RichText);
    table->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    scroll->setWidget(table);
    layout->addWidget(scroll, 1);

    layout->addStretch();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    // Row heights follow the theme's font, known once the sheet has polished
    // the widgets.
    ensurePolished();
    const int around = layout->sizeHint().height() - scroll->sizeHint().height();
    resize(width(), qMax(height(), around + table->sizeHint().height()));
}

ShortcutsDialog::~ShortcutsDialog() = default;
