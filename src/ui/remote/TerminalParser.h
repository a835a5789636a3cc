#pragma once

#include <QtGlobal>

// A control sequence as it was read: "ESC [ <private> <parameters>
// <intermediates> <final>".
struct TerminalSequence
{
    static constexpr int maxParameters = 32;
    char final = 0;
    char privateMarker = 0;     // one of "<=>?" right after the "[", or 0
    char intermediates[2] = {0, 0};
    int intermediateCount = 0;
    int parameters[maxParameters] = {};
    bool given[maxParameters] = {};   // false for an empty parameter
    int parameterCount = 0;

    // The parameter at index, or fallback when it is absent or empty.
    int parameter(int index, int fallback) const
    {
        return index < parameterCount && given[index] ? parameters[index] : fallback;
    }
    bool plain() const { return privateMarker == 0 && intermediateCount == 0; }
};

// Splits what a program writes into text, control bytes and control
// sequences, the way a VT-style terminal reads it. One table says, for each
// state and byte, what to do and where to go; the state survives from one
// chunk to the next, so a sequence cut anywhere reads as an uncut one.
//  - A control sequence (ESC [) ends on any final byte 0x40-0x7E; private
//    markers and intermediates are kept.
//  - C0 controls inside a sequence are carried out as if outside it; CAN and
//    SUB abandon the sequence, ESC starts a new one.
//  - Operating-system commands end at BEL or ST; DCS, SOS, PM and APC strings
//    at ST; their contents are dropped.
//  - Two-byte escapes and those with intermediates ("ESC # 8", "ESC % G",
//    "ESC ( B") end on their final byte and have no effect here.
class TerminalParser
{
public:
    class Handler
    {
    public:
        virtual ~Handler() = default;
        // Bytes of text (UTF-8, possibly cut anywhere), in order.
        virtual void print(const char* bytes, qsizetype size) = 0;
        // Text was interrupted by a control byte or a sequence.
        virtual void endText() = 0;
        // A C0 control byte, inside a sequence or not (NUL and BEL included).
        virtual void execute(char control) = 0;
        virtual void dispatch(const TerminalSequence& sequence) = 0;
    };

    enum State : quint8 {
        Ground,
        Escape,
        EscapeIntermediate,
        CsiEntry,
        CsiParameter,
        CsiIntermediate,
        CsiIgnore,
        OscString,
        OtherString,
        StateCount
    };

    explicit TerminalParser(Handler& handler) : handler(handler) {}

    void feed(const char* bytes, qsizetype size);
    void reset();
    State state() const { return current; }

private:
    void beginSequence();
    void parameterByte(char c);

    Handler& handler;
    State current = Ground;
    TerminalSequence sequence;
    qint64 accumulating = 0;
    bool overflowed = false;
    bool inText = false;
};
