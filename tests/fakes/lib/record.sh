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

FAKE_NAME=$(basename "$0")
: "${FAKE_STATE:?the stand-in tools need FAKE_STATE}"

fake_record() {
    local count_file="$FAKE_STATE/$FAKE_NAME.count"
    FAKE_CALL=$(( $(cat "$count_file" 2>/dev/null || echo 0) + 1 ))
    echo "$FAKE_CALL" > "$count_file"
    local args_file="$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.args"
    : > "$args_file"
    local a
    for a in "$@"; do printf '%s\0' "$a" >> "$args_file"; done
    FAKE_STDIN="$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.stdin"
    cat > "$FAKE_STDIN"
    printf '%s\n' "$*" >> "$FAKE_STATE/$FAKE_NAME.log"
}

# The per-call answer file if there is one, else the general one.
fake_file() {
    if [ -e "$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.$1" ]; then
        echo "$FAKE_STATE/$FAKE_NAME.$FAKE_CALL.$1"
    elif [ -e "$FAKE_STATE/$FAKE_NAME.$1" ]; then
        echo "$FAKE_STATE/$FAKE_NAME.$1"
    fi
}

fake_answer() {
    local f
    f=$(fake_file sleep); [ -n "$f" ] && sleep "$(cat "$f")"
    f=$(fake_file sh); [ -n "$f" ] && . "$f"
    f=$(fake_file out); [ -n "$f" ] && cat "$f"
    f=$(fake_file err); [ -n "$f" ] && cat "$f" >&2
    f=$(fake_file code); [ -n "$f" ] && exit "$(cat "$f")"
    exit 0
}
