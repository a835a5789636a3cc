#pragma once

#include <QLabel>

// A one-line label for text of any length (a tool's version line): shown
// whole when it fits, else elided in the middle with "…", the whole text in
// the tool tip. Shown as plain text, never as markup.
class ElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text = QString(), QWidget* parent = nullptr);

    void setFullText(const QString& text);
    QString fullText() const { return whole; }

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void elide();

    QString whole;
    bool laidOut = false;
};
