#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class UserProfile;

// The personal part of the encrypted profile, with every field marked as
// personally identifiable or not, the security choices it holds, and the
// features unlocked so far.
class ProfileEditorDialog : public QDialog
{
    Q_OBJECT
public:
    ProfileEditorDialog(UserProfile* profile, QWidget* parent = nullptr);
    ~ProfileEditorDialog() override;

    // Parentless captions; the layout that receives one becomes its owner.
    static QLabel* piiLabel(const QString& text);
    static QLabel* nonPiiLabel(const QString& text);

public Q_SLOTS:
    void saveProfile();

private:
    QWidget* createPersonalTab();
    QWidget* createSecurityTab();
    QWidget* createFeaturesTab();
    QWidget* createPiiTab();

    UserProfile* profile = nullptr;
    QLineEdit* nameEdit = nullptr;
    QLineEdit* emailEdit = nullptr;
    QLineEdit* organizationEdit = nullptr;
    QLineEdit* roleEdit = nullptr;
    QComboBox* experienceCombo = nullptr;
    QCheckBox* autoLockCheck = nullptr;
    QCheckBox* auditLogCheck = nullptr;
    QCheckBox* hotplugNotifyCheck = nullptr;
    QCheckBox* compliancePasswordsCheck = nullptr;
};
