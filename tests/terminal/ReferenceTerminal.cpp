#include "ReferenceTerminal.h"

#include <QString>

#include <memory>

extern "C" {
#include <vterm.h>
}

namespace {

QString withoutTrailingBlanks(QString row)
{
    qsizetype end = row.size();
    while (end > 0 && row.at(end - 1) == QLatin1Char(' '))
        --end;
    row.truncate(end);
    return row;
}

QStringList withoutTrailingEmptyRows(QStringList rows)
{
    while (!rows.isEmpty() && rows.last().isEmpty())
        rows.removeLast();
    return rows;
}

} // namespace

QStringList referenceScreen(const QByteArray& bytes, int columns, int rows)
{
    const std::unique_ptr<VTerm, void (*)(VTerm*)> terminal(vterm_new(rows, columns), vterm_free);
    vterm_set_utf8(terminal.get(), 1);
    VTermScreen* screen = vterm_obtain_screen(terminal.get());
    vterm_screen_reset(screen, 1);
    vterm_input_write(terminal.get(), bytes.constData(), size_t(bytes.size()));
    QStringList shown;
    for (int row = 0; row < rows; ++row) {
        QByteArray text(columns * 16, '\0');
        const VTermRect rect{row, row + 1, 0, columns};
        const size_t length = vterm_screen_get_text(screen, text.data(), size_t(text.size()), rect);
        text.truncate(qsizetype(length));
        shown << withoutTrailingBlanks(QString::fromUtf8(text));
    }
    return withoutTrailingEmptyRows(shown);
}

QStringList screenRows(const QString& text)
{
    QStringList rows = text.split(QLatin1Char('\n'));
    for (QString& row : rows)
        row = withoutTrailingBlanks(row);
    return withoutTrailingEmptyRows(rows);
}
