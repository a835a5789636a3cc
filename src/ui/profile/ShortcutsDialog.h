#pragma once

#include <QDialog>

// A table of the main window's keyboard shortcuts.
class ShortcutsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ShortcutsDialog(QWidget* parent = nullptr);
    ~ShortcutsDialog() override;
};
