#include "fido/DeviceProfileRegistry.h"

namespace {

// The certificate authority whose personal-identity certificates need a
// curve the older YubiKey firmware lacks.
const QString personalIdAuthority = QStringLiteral("DigiCert");

// A number of a firmware selector; anything unreadable counts as 0.
int selectorNumber(const QString& part, int position)
{
    const QStringList numbers = part.split(QLatin1Char('.'));
    if (position >= numbers.size())
        return 0;
    bool ok = false;
    const int value = numbers.at(position).toInt(&ok);
    return ok ? value : 0;
}

void setYubiKeyApplets(DeviceProfile& p)
{
    p.otp = true;
    p.oath = true;
    p.openpgp = true;
    p.staticPassword = true;
    p.challengeResponse = true;
    p.resetFido2Applet = true;
    p.resetPivApplet = true;
    p.resetOtpApplet = true;
    p.resetOathApplet = true;
    p.resetOpenpgpApplet = true;
}

// Whether a firmware selector accepts the given major.minor.
bool firmwareMatches(const QString& pattern, int major, int minor)
{
    if (pattern.isEmpty() || pattern == QLatin1String("*"))
        return true;
    // A key that does not report its firmware is given the benefit of the doubt.
    const bool unknown = major == 0 && minor == 0;
    const qsizetype dash = pattern.indexOf(QLatin1Char('-'));
    if (dash >= 0) {
        if (unknown)
            return true;
        const QString low = pattern.left(dash);
        const QString high = pattern.mid(dash + 1);
        const int a = selectorNumber(low, 0);
        const int b = selectorNumber(low, 1);
        const int x = selectorNumber(high, 0);
        const int y = selectorNumber(high, 1);
        const bool aboveLow = major == a && minor >= b;
        const bool belowHigh = major < x || (major == x && minor <= y);
        return aboveLow && belowHigh;
    }
    const qsizetype plus = pattern.indexOf(QLatin1Char('+'));
    if (plus >= 0) {
        if (unknown)
            return true;
        const QString low = pattern.left(plus);
        const int a = selectorNumber(low, 0);
        const int b = selectorNumber(low, 1);
        return major > a || (major == a && minor >= b);
    }
    return false;
}

} // namespace

DeviceProfileRegistry& DeviceProfileRegistry::instance()
{
    static DeviceProfileRegistry registry;
    return registry;
}

DeviceProfileRegistry::DeviceProfileRegistry()
{
    registerProfiles();
}

void DeviceProfileRegistry::registerProfiles()
{
    entries.clear();
    entries << hirschUtrust263() << yubikey5Ci54() << yubikey5Nfc54();

    DeviceProfile fiveCNfc = yubikey5Nfc54();
    fiveCNfc.name = QStringLiteral("YubiKey 5C NFC (5.4.x)");
    entries << fiveCNfc << yubikey57Plus();

    DeviceProfile fido2Mode = genericCtap2();
    fido2Mode.name = QStringLiteral("YubiKey 5 (FIDO2 mode)");
    fido2Mode.vendor = QStringLiteral("Yubico");
    fido2Mode.family = QStringLiteral("YubiKey 5");
    fido2Mode.vendorId = 0x1050;
    fido2Mode.productId = 0x0410;
    entries << fido2Mode;

    DeviceProfile fidoCcid = yubikey5Ci54();
    fidoCcid.name = QStringLiteral("YubiKey 5 FIDO+CCID");
    fidoCcid.productId = 0x0406;
    fidoCcid.firmwarePattern = QStringLiteral("*");
    fidoCcid.otp = false;
    entries << fidoCcid;

    DeviceProfile otpFido = genericCtap2();
    otpFido.name = QStringLiteral("YubiKey 5 OTP+FIDO");
    otpFido.vendor = QStringLiteral("Yubico");
    otpFido.family = QStringLiteral("YubiKey 5");
    otpFido.vendorId = 0x1050;
    otpFido.productId = 0x0403;
    otpFido.otp = true;
    entries << otpFido;

    entries << genericPivCcid() << genericCtap2();
}

DeviceProfile DeviceProfileRegistry::hirschUtrust263()
{
    DeviceProfile p;
    p.name = QStringLiteral("Hirsch uTrust FIDO2 Gov");
    p.vendor = QStringLiteral("Hirsch");
    p.family = QStringLiteral("uTrust FIDO2");
    p.vendorId = 0x04e6;
    p.productId = 0x5a11;
    p.firmwarePattern = QStringLiteral("*");
    p.fido2 = true;
    p.fido2FactoryReset = true;
    p.fido2CredMgmt = true;
    p.piv = true;
    p.pivHarden = true;
    p.pivKeyGenCsr = true;
    p.pivImportCert = true;
    p.eccP256 = true;
    p.eccP384 = true;
    p.rsa2048 = true;
    p.rsa3072 = true;
    p.rsaMaxBits = 3072;
    p.toolchain = QStringLiteral("opensc");
    p.resetFido2Applet = true;
    p.constraints = {
        QStringLiteral("PIV factory reset requires Identiv Windows admin tool"),
        QStringLiteral("No proprietary reset APDU accessible from macOS"),
        QStringLiteral("Supports RSA3072 and ECC P-384 on hardware via PKCS11"),
        QStringLiteral("No YubiKey-style attestation; use PKCS11 attestation where available"),
    };
    return p;
}

DeviceProfile DeviceProfileRegistry::yubikey5Ci54()
{
    DeviceProfile p;
    p.name = QStringLiteral("YubiKey 5Ci (5.4.x)");
    p.vendor = QStringLiteral("Yubico");
    p.family = QStringLiteral("YubiKey 5");
    p.vendorId = 0x1050;
    p.productId = 0x0407;
    p.firmwarePattern = QStringLiteral("5.4.0-5.4.9");
    p.fido2 = true;
    p.fido2FactoryReset = true;
    p.fido2CredMgmt = true;
    p.piv = true;
    p.pivHarden = true;
    p.pivAes256MgmtKey = true;
    p.pivKeyGenCsr = true;
    p.pivAttestation = true;
    p.pivImportCert = true;
    p.eccP256 = true;
    p.rsa2048 = true;
    p.rsaMaxBits = 2048;
    p.toolchain = QStringLiteral("ykman");
    setYubiKeyApplets(p);
    p.constraints = {
        QStringLiteral("RSA max 2048, no RSA3072 (firmware < 5.7)"),
        QStringLiteral("No ECC P-384 (firmware < 5.7, use P-256 or RSA2048)"),
        QStringLiteral("No ykman piv keys delete — requires full PIV reset to replace key"),
        QStringLiteral("ykman config reset not supported on 5Ci — must reset each applet individually"),
        personalIdAuthority
            + QStringLiteral(" IV Personal ID requires ECC P-384 — use P-256 with OV/EV instead"),
    };
    return p;
}

DeviceProfile DeviceProfileRegistry::yubikey5Nfc54()
{
    DeviceProfile p = yubikey5Ci54();
    p.name = QStringLiteral("YubiKey 5 NFC (5.4.x)");
    p.fullConfigReset = true;
    p.constraints = {
        QStringLiteral("RSA max 2048, no RSA3072 (firmware < 5.7)"),
        QStringLiteral("No ECC P-384 (firmware < 5.7)"),
        QStringLiteral("No ykman piv keys delete — requires full PIV reset"),
    };
    return p;
}

DeviceProfile DeviceProfileRegistry::yubikey57Plus()
{
    DeviceProfile p = yubikey5Ci54();
    p.name = QStringLiteral("YubiKey 5 (5.7+)");
    p.firmwarePattern = QStringLiteral("5.7+");
    p.pivSlotDelete = true;
    p.eccP384 = true;
    p.rsa3072 = true;
    p.rsaMaxBits = 3072;
    p.fullConfigReset = true;
    p.constraints = {
        QStringLiteral("Full ECC P-384 and RSA3072 support on hardware"),
        QStringLiteral("Supports ykman piv keys delete for individual slot reset"),
    };
    return p;
}

DeviceProfile DeviceProfileRegistry::genericCtap2()
{
    DeviceProfile p;
    p.name = QStringLiteral("Generic FIDO2 Device");
    p.vendor = QStringLiteral("Unknown");
    p.family = QStringLiteral("Generic CTAP2");
    p.firmwarePattern = QStringLiteral("*");
    p.fido2 = true;
    p.fido2FactoryReset = true;
    p.resetFido2Applet = true;
    p.constraints = {
        QStringLiteral("Unknown device — only basic FIDO2 operations available"),
        QStringLiteral("PIV and vendor-specific features not supported"),
    };
    return p;
}

DeviceProfile DeviceProfileRegistry::genericPivCcid()
{
    DeviceProfile p;
    p.name = QStringLiteral("Generic PIV Smart Card");
    p.vendor = QStringLiteral("Unknown");
    p.family = QStringLiteral("Generic PIV");
    p.firmwarePattern = QStringLiteral("*");
    p.piv = true;
    p.pivHarden = true;
    p.pivKeyGenCsr = true;
    p.pivImportCert = true;
    p.eccP256 = true;
    p.rsa2048 = true;
    p.rsaMaxBits = 2048;
    p.toolchain = QStringLiteral("opensc");
    p.constraints = {
        QStringLiteral("Generic PIV device — using opensc/pkcs11-tool"),
        QStringLiteral("Algorithm support may vary by device"),
    };
    return p;
}

DeviceProfile DeviceProfileRegistry::profileFor(const FidoKeyInfo& key) const
{
    if (entries.isEmpty())
        return genericCtap2();
    for (const DeviceProfile& p : entries) {
        if (p.vendorId == 0 || p.vendorId != key.vendorId)
            continue;
        if (p.productId != 0 && p.productId != key.productId)
            continue;
        if (!firmwareMatches(p.firmwarePattern, key.firmwareMajor, key.firmwareMinor))
            continue;
        return p;
    }
    if (key.hasPiv) {
        for (const DeviceProfile& p : entries) {
            if (p.vendorId == 0 && p.family == QLatin1String("Generic PIV"))
                return p;
        }
    }
    return genericCtap2();
}
