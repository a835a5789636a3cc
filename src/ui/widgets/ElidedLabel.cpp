#include "ui/widgets/ElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>

ElidedLabel::ElidedLabel(const QString& text, QWidget* parent)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setFullText(text);
}

void ElidedLabel::setFullText(const QString& text)
{
    whole = text;
    setToolTip(text);
    updateGeometry();
    elide();
}

QSize ElidedLabel::minimumSizeHint() const
{
    // Any width will do: what does not fit is elided.
    return QSize(0, QLabel::minimumSizeHint().height());
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    const QMargins margins = contentsMargins();
    return QSize(metrics.horizontalAdvance(whole) + 2 * margin() + margins.left() + margins.right(),
                 QLabel::sizeHint().height());
}

void ElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    laidOut = true;
    elide();
}

void ElidedLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    // A theme or font change alters how much fits.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        elide();
}

void ElidedLabel::elide()
{
    // Until it is laid out, the label has no width to measure against.
    const int room = contentsRect().width() - 2 * margin();
    const QString shown = laidOut ? fontMetrics().elidedText(whole, Qt::ElideMiddle, qMax(room, 0)) : whole;
    if (shown != text())
        QLabel::setText(shown);
}
