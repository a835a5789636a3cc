#include "fido/DeviceProfile.h"

QStringList DeviceProfile::contextMenuActions() const
{
    QStringList lines;
    lines << QStringLiteral("Device Details...") << QStringLiteral("Copy Serial Number");

    if (fido2) {
        lines << QStringLiteral("SUBMENU:FIDO2 Authentication");
        if (fido2SetPin)
            lines << QStringLiteral("  Set FIDO2 PIN...");
        if (fido2ChangePin)
            lines << QStringLiteral("  Change FIDO2 PIN...");
        if (fido2CredMgmt)
            lines << QStringLiteral("  List Credentials...") << QStringLiteral("  Delete Credential...");
        lines << QStringLiteral("END_SUBMENU");
    }

    if (piv) {
        lines << QStringLiteral("SUBMENU:PIV Smart Card");
        if (pivHarden)
            lines << QStringLiteral("  Harden Device (PIN/PUK/Mgmt Key)...");
        if (pivKeyGenCsr)
            lines << QStringLiteral("  Generate Key + CSR...");
        if (pivAttestation)
            lines << QStringLiteral("  Export Attestation Bundle...");
        if (pivImportCert)
            lines << QStringLiteral("  Import Certificate...");
        if (pivSlotDelete)
            lines << QStringLiteral("  Delete Slot Key...");
        lines << QStringLiteral("END_SUBMENU");
    }

    if (piv || fido2) {
        lines << QStringLiteral("SUBMENU:Code Signing") << QStringLiteral("  Sign File with This Key...")
              << QStringLiteral("  Verify Signature...") << QStringLiteral("END_SUBMENU");
    }

    if (otp || oath || openpgp) {
        lines << QStringLiteral("SUBMENU:Applets");
        if (oath)
            lines << QStringLiteral("  OATH (TOTP/HOTP) Manager...");
        if (openpgp)
            lines << QStringLiteral("  OpenPGP Manager...");
        if (otp)
            lines << QStringLiteral("  OTP Configuration...");
        lines << QStringLiteral("END_SUBMENU");
    }

    // The whole-key FIDO2 reset only ever sits among the applet resets; on its
    // own it does not open the sub-menu.
    if (resetFido2Applet || resetPivApplet || resetOtpApplet || resetOathApplet || resetOpenpgpApplet
        || fullConfigReset) {
        lines << QStringLiteral("SUBMENU:Reset / Factory");
        if (resetFido2Applet)
            lines << QStringLiteral("  Reset FIDO2 Applet...");
        if (resetPivApplet)
            lines << QStringLiteral("  Reset PIV Applet...");
        if (resetOtpApplet)
            lines << QStringLiteral("  Reset OTP Applet...");
        if (resetOathApplet)
            lines << QStringLiteral("  Reset OATH Applet...");
        if (resetOpenpgpApplet)
            lines << QStringLiteral("  Reset OpenPGP Applet...");
        if (fullConfigReset)
            lines << QStringLiteral("  Full Config Reset...");
        if (fido2FactoryReset)
            lines << QStringLiteral("  Factory Reset FIDO2...");
        lines << QStringLiteral("END_SUBMENU");
    }

    if (!constraints.isEmpty())
        lines << QStringLiteral("---") << QStringLiteral("View Known Constraints...");
    return lines;
}
