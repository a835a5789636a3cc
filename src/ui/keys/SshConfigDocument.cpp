#include "ui/keys/SshConfigDocument.h"

#include <QHash>

#include <algorithm>

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

// ssh's pattern match: "*" any run of characters, "?" any one.
bool matchesPattern(const char* text, const char* pattern)
{
    for (;;) {
        if (*pattern == '\0')
            return *text == '\0';
        if (*pattern == '*') {
            while (*pattern == '*')
                ++pattern;
            if (*pattern == '\0')
                return true;
            for (; *text; ++text) {
                if (matchesPattern(text, pattern))
                    return true;
            }
            return false;
        }
        if (*text == '\0' || (*pattern != '?' && *pattern != *text))
            return false;
        ++text;
        ++pattern;
    }
}

// ssh's pattern list: a name matches when a pattern takes it and no negated
// pattern ("!name") does.
bool matchesPatternList(const QByteArray& name, const QList<QByteArray>& patterns)
{
    bool matched = false;
    for (const QByteArray& pattern : patterns) {
        const bool negated = pattern.startsWith('!');
        const QByteArray body = negated ? pattern.mid(1) : pattern;
        if (!matchesPattern(name.constData(), body.constData()))
            continue;
        if (negated)
            return false;
        matched = true;
    }
    return matched;
}

bool hasWildcard(const QByteArray& pattern)
{
    return pattern.contains('*') || pattern.contains('?');
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

QByteArray SshConfigDocument::hostText(int host) const
{
    const Block block = hostBlock(host);
    QByteArray text;
    for (int i = block.first; i < contentEnd(block); ++i)
        text += lines.at(i).text + '\n';
    return text;
}

int SshConfigDocument::findHost(const QByteArray& text, int preferred) const
{
    if (preferred >= 0 && preferred < hostCount() && hostText(preferred) == text)
        return preferred;
    for (int h = 0; h < hostCount(); ++h) {
        if (hostText(h) == text)
            return h;
    }
    return -1;
}

QList<QByteArray> SshConfigDocument::blockWords(const Block& block) const
{
    return split(lines.at(block.first).text).arguments;
}

bool SshConfigDocument::isMatchAll(const Block& block) const
{
    const Words words = split(lines.at(block.first).text);
    if (words.keyword != "match")
        return false;
    // "all" stands alone, or after "canonical" or "final".
    QList<QByteArray> criteria;
    for (const QByteArray& word : words.arguments) {
        const QByteArray lower = word.toLower();
        if (lower != "canonical" && lower != "final")
            criteria.append(lower);
    }
    return criteria == QList<QByteArray>{"all"};
}

bool SshConfigDocument::isCatchAll(const Block& block, const QByteArray& name) const
{
    if (isMatchAll(block))
        return true;
    if (split(lines.at(block.first).text).keyword != "host")
        return false;
    const QList<QByteArray> patterns = blockWords(block);
    if (!patterns.contains("*"))
        return false;
    // Without a name, only a block that spares no host matches every host.
    if (name.isEmpty())
        return std::none_of(patterns.begin(), patterns.end(),
                            [](const QByteArray& p) { return p.startsWith('!'); });
    return matchesPatternList(name, patterns);
}

int SshConfigDocument::leadIn(const Block& block) const
{
    int first = block.first;
    while (first > 0) {
        const QByteArray text = lines.at(first - 1).text.trimmed();
        if (!text.startsWith('#'))
            break;
        --first;
    }
    return first;
}

namespace {

QByteArray firstPlainPattern(const QList<QByteArray>& patterns)
{
    for (const QByteArray& pattern : patterns) {
        if (!pattern.isEmpty() && !pattern.startsWith('!') && !hasWildcard(pattern))
            return pattern;
    }
    return QByteArray();
}

} // namespace

QString SshConfigDocument::connectName(const QString& patterns)
{
    return QString::fromUtf8(firstPlainPattern(split("Host " + patterns.toUtf8()).arguments));
}

QString SshConfigDocument::connectName(int host) const
{
    return QString::fromUtf8(firstPlainPattern(blockWords(hostBlock(host))));
}

QStringList SshConfigDocument::effectivePorts() const
{
    const auto portIn = [this](int from, int to) -> QByteArray {
        for (int i = from; i < to; ++i) {
            const Words words = split(lines.at(i).text);
            if (words.keyword == "port")
                return words.arguments.value(0);
        }
        return QByteArray();
    };
    // Only blocks that set a port matter. Those of plain names alone are
    // looked up by name; the others (wildcards, negations, "Match all") are
    // tried in file order. A large file is thus read once, not once per host.
    const QByteArray topLevel = portIn(0, blocks.isEmpty() ? int(lines.size()) : blocks.first().first);
    QList<QByteArray> blockPort(blocks.size());
    QHash<QByteArray, int> plainFirst;
    QList<int> others;
    for (int b = 0; b < blocks.size(); ++b) {
        const Block& block = blocks.at(b);
        blockPort[b] = portIn(block.first + 1, block.end);
        if (blockPort.at(b).isEmpty())
            continue;
        const bool isHost = split(lines.at(block.first).text).keyword == "host";
        const QList<QByteArray> patterns = blockWords(block);
        const bool plain = isHost && std::none_of(patterns.begin(), patterns.end(), [](const QByteArray& p) {
            return p.startsWith('!') || hasWildcard(p);
        });
        if (plain) {
            for (const QByteArray& pattern : patterns) {
                if (!plainFirst.contains(pattern))
                    plainFirst.insert(pattern, b);
            }
        } else if (isHost || isMatchAll(block)) {
            others.append(b);
        }
    }

    QStringList ports;
    ports.reserve(hostBlocks.size());
    for (int h = 0; h < hostBlocks.size(); ++h) {
        if (!topLevel.isEmpty()) {
            ports.append(QString::fromUtf8(topLevel));
            continue;
        }
        const int own = hostBlocks.at(h);
        // ssh matches the name it was given in lower case.
        const QByteArray name = firstPlainPattern(blockWords(blocks.at(own))).toLower();
        int best = blockPort.at(own).isEmpty() ? int(blocks.size()) : own;
        if (!name.isEmpty())
            best = std::min(best, plainFirst.value(name, int(blocks.size())));
        for (int b : std::as_const(others)) {
            if (b >= best)
                break;
            const Block& block = blocks.at(b);
            const bool applies = name.isEmpty() ? isCatchAll(block, QByteArray())
                                                : (isMatchAll(block) || matchesPatternList(name, blockWords(block)));
            if (applies) {
                best = b;
                break;
            }
        }
        ports.append(best < blocks.size() ? QString::fromUtf8(blockPort.at(best)) : QString());
    }
    return ports;
}

QByteArray SshConfigDocument::quoted(const QByteArray& value)
{
    return value.contains(' ') ? '"' + value + '"' : value;
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

void SshConfigDocument::setValue(int host, const QByteArray& keyword, const QByteArray& plainValue)
{
    const QByteArray value = quoted(plainValue);
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

void SshConfigDocument::addHost(const SshHostConfig& host)
{
    const QList<QByteArray> patterns = split("Host " + host.alias.toUtf8()).arguments;
    QList<QByteArray> texts{"Host " + patterns.join(' ')};
    const auto add = [&texts](const char* keyword, const QString& value) {
        if (!value.isEmpty())
            texts.append(QByteArrayLiteral("    ") + keyword + ' ' + quoted(value.toUtf8()));
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

    const QByteArray name = connectName(host.alias).toUtf8().toLower();
    for (const Block& block : std::as_const(blocks)) {
        const QList<QByteArray> words = blockWords(block);
        const bool wildcard = split(lines.at(block.first).text).keyword == "host"
                              && matchesPatternList(name, words) && std::any_of(words.begin(), words.end(), hasWildcard);
        if (!isCatchAll(block, name) && !(!name.isEmpty() && wildcard))
            continue;
        const int at = leadIn(block);
        if (at > 0 && !lines.at(at - 1).text.trimmed().isEmpty())
            texts.prepend(QByteArray());
        texts.append(QByteArray());
        insertLines(at, texts);
        return;
    }
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
