#pragma once

#include <QDialog>

// The first-run tour, shown over the main window at start-up until the user
// ticks "Don't show again".
class WelcomeDialog : public QDialog
{
    Q_OBJECT
public:
    explicit WelcomeDialog(QWidget* parent = nullptr);

    // True while the settings file does not hold welcomeShown = true.
    static bool shouldShow();
    static void markShown();
};
