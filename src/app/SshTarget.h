#pragma once

#include <QString>

// Where an SSH terminal connects, as typed in the form "user@host:port".
struct SshTarget
{
    QString user;
    QString host;
    int port = 22;

    // "user@host:port": the user is what precedes the first "@", the host what
    // follows it up to the first ":", the port what follows that colon (0 when
    // it is not a number). No "@": no user; no ":": port 22. Nothing is trimmed.
    static SshTarget parse(const QString& text);
    // "user@host" alone, as the prompts without a port read it: the user is
    // what precedes the first "@", the host all that follows it (a ":"
    // included); no "@": no user. Port 22; nothing is trimmed.
    static SshTarget parseUserAtHost(const QString& text);

    // Why this target must not reach the SSH client, or empty when it may: a
    // host or user beginning with "-" would be read by the client as an option.
    QString refusal() const;
};
