# Shared by every stand-in tool: records each call and answers as scripted.
#
# State lives in $FAKE_STATE (set by the test kit). For a tool named T, call N:
#   T.N.args   the arguments, each followed by a NUL byte
#   T.N.stdin  what arrived on standard input (the runner closes it, so this never waits)
#   T.log      one line per call, arguments joined by spaces (for a quick look)
# Answers, per call (T.N.x) or for every call (T.x):
#   T.sleep    seconds to sleep before answering
#   T.sh       bash sourced after recording (may write result files, may exit)
#   T.out      printed on standard output
#   T.err      printed on standard error
#   T.code     exit code (default 0)

# Every stand-in call pays for what this file runs, many times per test:
# builtins where they serve, no subshell or helper program needlessly.
FAKE_NAME=${0##*/}
: "${FAKE_STATE:?the stand-in tools need FAKE_STATE}"

fake_record() {
    local count_file="$FAKE_STATE/$FAKE_NAME.count" count=0
    [ -e "$count_file" ] && read -r count < "$count_file"
    FAKE_CALL=$(( ${count:-0} + 1 ))
    echo "$FAKE_CALL" > "$count_file"
    local args_file="$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.args"
    : > "$args_file"
    local a
    for a in "$@"; do printf '%s\0' "$a" >> "$args_file"; done
    FAKE_STDIN="$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.stdin"
    cat > "$FAKE_STDIN"
    printf '%s\n' "$*" >> "$FAKE_STATE/$FAKE_NAME.log"
}

# The per-call answer file if there is one, else the general one, in
# FAKE_FOUND (empty when neither exists).
fake_find() {
    FAKE_FOUND=
    if [ -e "$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.$1" ]; then
        FAKE_FOUND="$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.$1"
    elif [ -e "$FAKE_STATE/$FAKE_NAME.$1" ]; then
        FAKE_FOUND="$FAKE_STATE/$FAKE_NAME.$1"
    fi
}

# The same, printed.
fake_file() {
    fake_find "$1"
    [ -z "$FAKE_FOUND" ] || echo "$FAKE_FOUND"
}

fake_answer() {
    local value
    # The test kit writes numbers without a final newline: read then reports
    # end-of-file but has the value.
    fake_find sleep
    if [ -n "$FAKE_FOUND" ]; then read -r value < "$FAKE_FOUND"; sleep "$value"; fi
    fake_find sh; [ -n "$FAKE_FOUND" ] && . "$FAKE_FOUND"
    fake_find out; [ -n "$FAKE_FOUND" ] && cat "$FAKE_FOUND"
    fake_find err; [ -n "$FAKE_FOUND" ] && cat "$FAKE_FOUND" >&2
    fake_find code
    if [ -n "$FAKE_FOUND" ]; then read -r value < "$FAKE_FOUND"; exit "$value"; fi
    exit 0
}
