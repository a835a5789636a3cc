#include "app/SshTarget.h"

#include "core/ToolArgs.h"

SshTarget SshTarget::parseUserAtHost(const QString& text)
{
    SshTarget target;
    target.host = text;
    const qsizetype at = text.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        target.user = text.left(at);
        target.host = text.mid(at + 1);
    }
    return target;
}

SshTarget SshTarget::parse(const QString& text)
{
    SshTarget target = parseUserAtHost(text);
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
    const QString client = QStringLiteral("the SSH client");
    QString why = ToolArgs::refusal(QStringLiteral("host"), host, client,
                                    QStringLiteral("Enter a host name or address."));
    if (why.isEmpty())
        why = ToolArgs::refusal(QStringLiteral("user name"), user, client, QStringLiteral("Enter a user name."));
    return why;
}
