#pragma once

#include <QString>

class SoftHsmToken;
class TestPki;

// A code-signing certificate from the test CA's intermediate for a new key,
// that key put on the token under id 01 (label "sign key"), and the chain
// (leaf, then intermediate) written to chainPath. False on failure; the
// token's or the CA's errorString() says why.
bool putSigningKeyOnToken(SoftHsmToken& token, TestPki& pki, const QString& name, const QString& chainPath);
