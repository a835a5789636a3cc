#include "ui/remote/TerminalParser.h"

#include <array>
#include <climits>

namespace {

enum Action : quint8 {
    None,       // nothing: the byte is dropped
    Print,
    Execute,
    Clear,      // a new escape sequence begins
    Collect,    // an intermediate byte or a private marker
    Parameter,
    EscDispatch,
    CsiDispatch,
    Abort,      // CAN, SUB: the sequence is abandoned
};

struct Transition
{
    Action action;
    TerminalParser::State next;
};

using State = TerminalParser::State;
using Table = std::array<std::array<Transition, 256>, TerminalParser::StateCount>;

Table buildTable()
{
    Table table{};
    const auto set = [&table](State state, int from, int to, Action action, State next) {
        for (int b = from; b <= to; ++b)
            table[state][b] = {action, next};
    };
    const auto controls = [&set](State state, Action action) {
        set(state, 0x00, 0x17, action, state);
        set(state, 0x19, 0x19, action, state);
        set(state, 0x1C, 0x1F, action, state);
    };

    for (int s = 0; s < TerminalParser::StateCount; ++s) {
        const auto state = State(s);
        set(state, 0x00, 0xFF, None, state);
        const bool inString = state == TerminalParser::OscString || state == TerminalParser::OtherString;
        // Controls inside a sequence act as outside it; inside a string they
        // are part of what is dropped.
        controls(state, inString ? None : Execute);
        set(state, 0x18, 0x18, Abort, TerminalParser::Ground);
        set(state, 0x1A, 0x1A, Abort, TerminalParser::Ground);
        set(state, 0x1B, 0x1B, Clear, TerminalParser::Escape);
    }

    // Text: everything printable, and every byte of a UTF-8 character.
    set(TerminalParser::Ground, 0x20, 0x7E, Print, TerminalParser::Ground);
    set(TerminalParser::Ground, 0x80, 0xFF, Print, TerminalParser::Ground);

    set(TerminalParser::Escape, 0x20, 0x2F, Collect, TerminalParser::EscapeIntermediate);
    set(TerminalParser::Escape, 0x30, 0x7E, EscDispatch, TerminalParser::Ground);
    set(TerminalParser::Escape, '[', '[', None, TerminalParser::CsiEntry);
    set(TerminalParser::Escape, ']', ']', None, TerminalParser::OscString);
    set(TerminalParser::Escape, 'P', 'P', None, TerminalParser::OtherString);   // DCS
    set(TerminalParser::Escape, 'X', 'X', None, TerminalParser::OtherString);   // SOS
    set(TerminalParser::Escape, '^', '^', None, TerminalParser::OtherString);   // PM
    set(TerminalParser::Escape, '_', '_', None, TerminalParser::OtherString);   // APC
    // ESC before a UTF-8 character is no sequence: the character is text.
    set(TerminalParser::Escape, 0x80, 0xFF, Print, TerminalParser::Ground);

    set(TerminalParser::EscapeIntermediate, 0x20, 0x2F, Collect, TerminalParser::EscapeIntermediate);
    set(TerminalParser::EscapeIntermediate, 0x30, 0x7E, EscDispatch, TerminalParser::Ground);
    set(TerminalParser::EscapeIntermediate, 0x80, 0xFF, Print, TerminalParser::Ground);

    set(TerminalParser::CsiEntry, 0x20, 0x2F, Collect, TerminalParser::CsiIntermediate);
    set(TerminalParser::CsiEntry, 0x30, 0x39, Parameter, TerminalParser::CsiParameter);
    set(TerminalParser::CsiEntry, ';', ';', Parameter, TerminalParser::CsiParameter);
    set(TerminalParser::CsiEntry, ':', ':', None, TerminalParser::CsiIgnore);
    set(TerminalParser::CsiEntry, 0x3C, 0x3F, Collect, TerminalParser::CsiParameter);
    set(TerminalParser::CsiEntry, 0x40, 0x7E, CsiDispatch, TerminalParser::Ground);
    set(TerminalParser::CsiEntry, 0x80, 0xFF, None, TerminalParser::CsiIgnore);

    set(TerminalParser::CsiParameter, 0x20, 0x2F, Collect, TerminalParser::CsiIntermediate);
    set(TerminalParser::CsiParameter, 0x30, 0x39, Parameter, TerminalParser::CsiParameter);
    set(TerminalParser::CsiParameter, ';', ';', Parameter, TerminalParser::CsiParameter);
    set(TerminalParser::CsiParameter, ':', ':', None, TerminalParser::CsiIgnore);
    set(TerminalParser::CsiParameter, 0x3C, 0x3F, None, TerminalParser::CsiIgnore);
    set(TerminalParser::CsiParameter, 0x40, 0x7E, CsiDispatch, TerminalParser::Ground);
    set(TerminalParser::CsiParameter, 0x80, 0xFF, None, TerminalParser::CsiIgnore);

    set(TerminalParser::CsiIntermediate, 0x20, 0x2F, Collect, TerminalParser::CsiIntermediate);
    set(TerminalParser::CsiIntermediate, 0x30, 0x3F, None, TerminalParser::CsiIgnore);
    set(TerminalParser::CsiIntermediate, 0x40, 0x7E, CsiDispatch, TerminalParser::Ground);
    set(TerminalParser::CsiIntermediate, 0x80, 0xFF, None, TerminalParser::CsiIgnore);

    set(TerminalParser::CsiIgnore, 0x40, 0x7E, None, TerminalParser::Ground);

    set(TerminalParser::OscString, 0x07, 0x07, None, TerminalParser::Ground);
    return table;
}

const Table& table()
{
    static const Table built = buildTable();
    return built;
}

} // namespace

void TerminalParser::reset()
{
    current = Ground;
    inText = false;
    beginSequence();
}

void TerminalParser::beginSequence()
{
    sequence.final = 0;
    sequence.privateMarker = 0;
    sequence.intermediateCount = 0;
    sequence.parameterCount = 0;
    accumulating = 0;
    overflowed = false;
}

void TerminalParser::parameterByte(char c)
{
    if (sequence.parameterCount == 0) {
        // The first byte opens the first parameter.
        sequence.parameterCount = 1;
        sequence.given[0] = false;
        sequence.parameters[0] = 0;
    }
    const int index = sequence.parameterCount - 1;
    if (c == ';') {
        if (sequence.parameterCount < TerminalSequence::maxParameters) {
            sequence.given[sequence.parameterCount] = false;
            sequence.parameters[sequence.parameterCount] = 0;
            ++sequence.parameterCount;
        }
        accumulating = 0;
        overflowed = false;
        return;
    }
    if (overflowed)
        return;
    accumulating = accumulating * 10 + (c - '0');
    if (accumulating > INT_MAX) {
        // A number beyond 32 bits counts as 0.
        overflowed = true;
        accumulating = 0;
    }
    sequence.given[index] = true;
    sequence.parameters[index] = int(accumulating);
}

void TerminalParser::feed(const char* bytes, qsizetype size)
{
    const Table& transitions = table();
    const auto* data = reinterpret_cast<const uchar*>(bytes);
    qsizetype i = 0;
    while (i < size) {
        if (current == Ground) {
            // Runs of text go out whole.
            qsizetype end = i;
            while (end < size && (data[end] >= 0x80 || (data[end] >= 0x20 && data[end] != 0x7F)))
                ++end;
            if (end > i) {
                handler.print(bytes + i, end - i);
                inText = true;
                i = end;
                continue;
            }
        }
        const uchar b = data[i++];
        const Transition& step = transitions[current][b];
        if (step.action != Print && step.action != None && inText) {
            inText = false;
            handler.endText();
        }
        switch (step.action) {
        case None:
            break;
        case Print:
            handler.print(reinterpret_cast<const char*>(data + i - 1), 1);
            inText = true;
            break;
        case Execute:
            handler.execute(char(b));
            break;
        case Clear:
            beginSequence();
            break;
        case Collect:
            if (b >= 0x3C && b <= 0x3F && current == CsiEntry)
                sequence.privateMarker = char(b);
            else if (sequence.intermediateCount < 2)
                sequence.intermediates[sequence.intermediateCount++] = char(b);
            break;
        case Parameter:
            parameterByte(char(b));
            break;
        case EscDispatch:
            // No escape of this kind changes what the view shows.
            break;
        case CsiDispatch:
            sequence.final = char(b);
            handler.dispatch(sequence);
            break;
        case Abort:
            break;
        }
        current = step.next;
    }
}
