#include "ui/keys/SshConfigDocument.h"

namespace {

// ssh's separators between a keyword and its value.
bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// ssh drops these from the end of a line before reading it.
bool isTrailingSpace(char c)
{
    return isSpace(c) || c == '\f';
}

// ssh's yes/no words; anything else leaves the default.
bool flagOf(const QByteArray& value, bool fallback)
{
    const QByteArray lower = value.toLower();
    if (lower == "yes" || lower == "true")
        return true;
    if (lower == "no" || lower == "false" || lower == "off")
        return false;
    return fallback;
}

QByteArray leadingSpaceOf(const QByteArray& text)
{
    qsizetype i = 0;
    while (i < text.size() && (text.at(i) == ' ' || text.at(i) == '\t'))
        ++i;
    return text.left(i);
}

} // namespace

SshConfigDocument::SshConfigDocument(const QByteArray& bytes)
{
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype feed = bytes.indexOf('\n', start);
        Line line;
        if (feed < 0) {
            line.text = bytes.mid(start);
            start = bytes.size();
        } else {
            qsizetype textEnd = feed;
            if (textEnd > start && bytes.at(textEnd - 1) == '\r')
                --textEnd;
            line.text = bytes.mid(start, textEnd - start);
            line.end = bytes.mid(textEnd, feed + 1 - textEnd);
            start = feed + 1;
        }
        lines.append(line);
    }
    index();
}

QByteArray SshConfigDocument::toBytes() const
{
    QByteArray bytes;
    for (const Line& line : lines)
        bytes += line.text + line.end;
    return bytes;
}

SshConfigDocument::Words SshConfigDocument::split(const QByteArray& line)
{
    Words words;
    qsizetype n = line.size();
    while (n > 0 && isTrailingSpace(line.at(n - 1)))
        --n;
    qsizetype i = 0;
    while (i < n && isSpace(line.at(i)))
        ++i;
    const qsizetype keywordStart = i;
    while (i < n && !isSpace(line.at(i)) && line.at(i) != '"' && line.at(i) != '=')
        ++i;
    if (i == keywordStart || line.at(keywordStart) == '#')
        return words;
    words.keyword = line.mid(keywordStart, i - keywordStart).toLower();
    if (i < n) {
        // One "=" may stand between the keyword and its value, with or
        // without blanks around it.
        const bool equals = line.at(i) == '=';
        ++i;
        while (i < n && isSpace(line.at(i)))
            ++i;
        if (!equals && i < n && line.at(i) == '=') {
            ++i;
            while (i < n && isSpace(line.at(i)))
                ++i;
        }
    }
    words.valueStart = i;
    words.valueEnd = i;
    while (i < n) {
        if (line.at(i) == ' ' || line.at(i) == '\t') {
            ++i;
            continue;
        }
        if (line.at(i) == '#')
            break;
        QByteArray argument;
        char quote = 0;
        for (; i < n; ++i) {
            const char c = line.at(i);
            if (c == '\\' && i + 1 < n
                && (line.at(i + 1) == '\'' || line.at(i + 1) == '"' || line.at(i + 1) == '\\'
                    || (quote == 0 && line.at(i + 1) == ' '))) {
                argument += line.at(++i);
            } else if (quote == 0 && (c == ' ' || c == '\t')) {
                break;
            } else if (quote == 0 && (c == '"' || c == '\'')) {
                quote = c;
            } else if (quote != 0 && c == quote) {
                quote = 0;
            } else {
                argument += c;
            }
        }
        words.arguments.append(argument);
        words.valueEnd = i;
    }
    return words;
}

void SshConfigDocument::index()
{
    blocks.clear();
    hostBlocks.clear();
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray keyword = split(lines.at(i).text).keyword;
        if (keyword != "host" && keyword != "match")
            continue;
        if (!blocks.isEmpty())
            blocks.last().end = i;
        if (keyword == "host")
            hostBlocks.append(int(blocks.size()));
        blocks.append(Block{i, int(lines.size())});
    }
}

int SshConfigDocument::contentEnd(const Block& block) const
{
    int end = block.first + 1;
    for (int i = block.first + 1; i < block.end; ++i) {
        if (!split(lines.at(i).text).keyword.isEmpty())
            end = i + 1;
    }
    return end;
}

int SshConfigDocument::ownEnd(const Block& block) const
{
    int end = contentEnd(block);
    while (end < block.end && lines.at(end).text.trimmed().isEmpty())
        ++end;
    return end;
}

QByteArray SshConfigDocument::lineEnd() const
{
    for (const Line& line : lines) {
        if (!line.end.isEmpty())
            return line.end;
    }
    return QByteArrayLiteral("\n");
}

QList<SshHostConfig> SshConfigDocument::hosts() const
{
    QList<SshHostConfig> result;
    result.reserve(hostBlocks.size());
    for (int h = 0; h < hostBlocks.size(); ++h) {
        const Block block = hostBlock(h);
        SshHostConfig host;
        QList<QByteArray> patterns = split(lines.at(block.first).text).arguments;
        host.alias = QString::fromUtf8(patterns.join(' '));
        QList<QByteArray> seen;
        for (int i = block.first + 1; i < block.end; ++i) {
            const Words words = split(lines.at(i).text);
            if (words.keyword.isEmpty() || seen.contains(words.keyword))
                continue;
            seen.append(words.keyword);
            const QByteArray first = words.arguments.value(0);
            const QString text = QString::fromUtf8(first);
            const QByteArray& k = words.keyword;
            if (k == "hostname")
                host.hostName = text;
            else if (k == "user")
                host.user = text;
            else if (k == "port")
                host.port = text;
            else if (k == "identityfile")
                host.identityFile = text;
            else if (k == "identitiesonly")
                host.identitiesOnly = flagOf(first, false);
            else if (k == "proxyjump")
                host.proxyJump = text;
            else if (k == "localforward")
                host.localForward = QString::fromUtf8(words.arguments.join(' '));
            else if (k == "remoteforward")
                host.remoteForward = QString::fromUtf8(words.arguments.join(' '));
            else if (k == "forwardagent")
                host.forwardAgent = flagOf(first, false);
            else if (k == "compression")
                host.compression = flagOf(first, false);
            else if (k == "loglevel")
                host.logLevel = text;
            else if (k == "serveraliveinterval")
                host.serverAliveInterval = text;
            else if (k == "serveralivecountmax")
                host.serverAliveCountMax = text;
            else if (k == "stricthostkeychecking")
                host.strictHostKeyChecking = flagOf(first, true);
        }
        result.append(host);
    }
    return result;
}

void SshConfigDocument::insertLines(int at, const QList<QByteArray>& texts)
{
    if (texts.isEmpty())
        return;
    const QByteArray end = lineEnd();
    // A last line without a line end keeps that form: the new last line
    // goes without one.
    QByteArray lastEnd = end;
    if (at > 0 && lines.at(at - 1).end.isEmpty()) {
        lines[at - 1].end = end;
        lastEnd.clear();
    }
    for (qsizetype i = 0; i < texts.size(); ++i)
        lines.insert(at + i, Line{texts.at(i), i + 1 == texts.size() ? lastEnd : end});
    index();
}

void SshConfigDocument::appendBlock(const QList<QByteArray>& texts)
{
    QList<QByteArray> block = texts;
    if (!lines.isEmpty() && !lines.last().text.trimmed().isEmpty())
        block.prepend(QByteArray());
    insertLines(int(lines.size()), block);
}

void SshConfigDocument::setValue(int host, const QByteArray& keyword, const QByteArray& value)
{
    const Block block = hostBlock(host);
    const QByteArray lower = keyword.toLower();
    if (value.isEmpty()) {
        for (int i = block.end - 1; i > block.first; --i) {
            if (split(lines.at(i).text).keyword == lower)
                lines.removeAt(i);
        }
        index();
        return;
    }
    for (int i = block.first + 1; i < block.end; ++i) {
        const Words words = split(lines.at(i).text);
        if (words.keyword != lower)
            continue;
        // Only the value changes: indentation, separator and a comment after
        // it stay as the user wrote them.
        QByteArray& text = lines[i].text;
        if (words.valueEnd > words.valueStart)
            text.replace(words.valueStart, words.valueEnd - words.valueStart, value);
        else
            text.insert(words.valueStart, (words.valueStart == text.size() ? QByteArray(" ") : QByteArray()) + value);
        return;
    }
    const int at = contentEnd(block);
    QByteArray indent = QByteArrayLiteral("    ");
    if (at - 1 > block.first)
        indent = leadingSpaceOf(lines.at(at - 1).text);
    else
        indent = leadingSpaceOf(lines.at(block.first).text) + indent;
    insertLines(at, {indent + keyword + ' ' + value});
}

void SshConfigDocument::appendHost(const SshHostConfig& host)
{
    QList<QByteArray> texts{"Host " + host.alias.toUtf8()};
    const auto add = [&texts](const char* keyword, const QString& value) {
        if (!value.isEmpty())
            texts.append(QByteArrayLiteral("    ") + keyword + ' ' + value.toUtf8());
    };
    add("HostName", host.hostName);
    add("User", host.user);
    if (host.port != QLatin1String("22"))
        add("Port", host.port);
    add("IdentityFile", host.identityFile);
    if (host.identitiesOnly)
        texts.append("    IdentitiesOnly yes");
    add("ProxyJump", host.proxyJump);
    add("LocalForward", host.localForward);
    add("RemoteForward", host.remoteForward);
    if (host.forwardAgent)
        texts.append("    ForwardAgent yes");
    if (host.compression)
        texts.append("    Compression yes");
    add("LogLevel", host.logLevel);
    if (host.serverAliveInterval != QLatin1String("0"))
        add("ServerAliveInterval", host.serverAliveInterval);
    if (host.serverAliveCountMax != QLatin1String("3"))
        add("ServerAliveCountMax", host.serverAliveCountMax);
    if (!host.strictHostKeyChecking)
        texts.append("    StrictHostKeyChecking no");
    appendBlock(texts);
}

void SshConfigDocument::removeHost(int host)
{
    const Block block = hostBlock(host);
    lines.remove(block.first, ownEnd(block) - block.first);
    index();
}

void SshConfigDocument::duplicateHost(int host, const QByteArray& suffix)
{
    const Block block = hostBlock(host);
    QList<QByteArray> texts;
    for (int i = block.first; i < contentEnd(block); ++i)
        texts.append(lines.at(i).text);
    const Words words = split(texts.first());
    texts.first().insert(words.valueEnd, suffix);
    appendBlock(texts);
}
