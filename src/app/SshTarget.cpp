#include "app/SshTarget.h"

SshTarget SshTarget::parse(const QString& text)
{
    SshTarget target;
    target.host = text;
    const qsizetype at = target.host.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        target.user = target.host.left(at);
        target.host = target.host.mid(at + 1);
    }
    const qsizetype colon = target.host.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        bool ok = false;
        const int port = target.host.mid(colon + 1).toInt(&ok, 10);
        target.port = ok ? port : 0;
        target.host = target.host.left(colon);
    }
    return target;
}

QString SshTarget::refusal() const
{
    if (host.startsWith(QLatin1Char('-')))
        return QStringLiteral("The host \"%1\" starts with \"-\" and would be taken as an option "
                              "by the SSH client. Enter a host name or address.")
            .arg(host);
    if (user.startsWith(QLatin1Char('-')))
        return QStringLiteral("The user name \"%1\" starts with \"-\" and would be taken as an "
                              "option by the SSH client. Enter a user name.")
            .arg(user);
    return QString();
}
