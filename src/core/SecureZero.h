#pragma once

class QString;
class QByteArray;

// Wipes a secret (PIN, PUK, pass phrase) once the caller is done with it. The
// string's own buffer is made private first, so copies elsewhere keep their
// characters; that buffer is zeroed with a write the optimiser cannot drop and
// the string is left null. An empty string is left alone.
void secureZero(QString& s);
// The same for the byte copies (UTF-8) handed to tools and libraries.
void secureZero(QByteArray& bytes);

// Wipes a secret held in a local string on every way out of its scope: used,
// refused or abandoned at a cancelled prompt.
class WipeOnExit
{
public:
    explicit WipeOnExit(QString& secret)
        : secret(secret)
    {
    }
    ~WipeOnExit() { secureZero(secret); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    QString& secret;
};
