#include "TokenSigningKey.h"

#include "SoftHsmToken.h"
#include "TestPki.h"

bool putSigningKeyOnToken(SoftHsmToken& token, TestPki& pki, const QString& name, const QString& chainPath)
{
    if (!token.isValid())
        return false;
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Tessaril Token Signing/O=Ostrevan Test");
    spec.extensions = TestPki::codeSigningExtensions;
    const TestPki::Issued leaf = pki.issue(name, spec, pki.intermediate());
    return !leaf.isNull() && token.importKey(leaf.keyPath, QStringLiteral("01"), QStringLiteral("sign key"))
           && pki.writeChain(leaf, chainPath);
}
