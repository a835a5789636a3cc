#include "core/SecureZero.h"

#include <QByteArray>
#include <QString>

#include <string.h>

void secureZero(QString& s)
{
    if (s.size() == 0)
        return;
    // Static or shared data: take a private copy, wipe only that.
    s.detach();
    explicit_bzero(s.data(), static_cast<size_t>(s.size()) * sizeof(QChar));
    s = QString();
}

void secureZero(QByteArray& bytes)
{
    if (bytes.size() == 0)
        return;
    bytes.detach();
    explicit_bzero(bytes.data(), static_cast<size_t>(bytes.size()));
    bytes = QByteArray();
}
