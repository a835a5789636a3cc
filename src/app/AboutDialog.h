#pragma once

#include <QDialog>

// The About box: product, version, the platform it runs on, and whether the
// token tools can be found, so a user sees at once why a tool-based feature
// will not work.
class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
    ~AboutDialog() override;
};
