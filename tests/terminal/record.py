#!/usr/bin/env python3
# Records what real programs write to a pseudo-terminal (40 rows by 120
# columns; full-screen programs on fewer, to keep their recordings short;
# line editing at 40 and 80 columns, where a command wraps), keys typed with
# pauses as a person would, into the fixtures beside this script. Run once
# by hand, naming the recordings to make (all when none is named); the tests
# only read the recordings.
#   tests/terminal/record.py wide-edit-40.bin wide-edit-80.bin
import fcntl, os, pty, select, struct, sys, tempfile, termios, time

HERE = os.path.dirname(os.path.abspath(__file__))

def record(name, argv, keys, env_extra=None, cwd=None, rows=40, columns=120, pause=0.3):
    if WANTED and name not in WANTED:
        return
    home = tempfile.mkdtemp()
    env = {"PATH": "/usr/bin:/bin", "HOME": home, "TERM": "xterm-256color",
           "COLORTERM": "truecolor", "LANG": "C.UTF-8", "PS1": "$ ", "HISTFILE": "/dev/null"}
    env.update(env_extra or {})
    pid, fd = pty.fork()
    if pid == 0:
        fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        if cwd:
            os.chdir(cwd)
        os.execvpe(argv[0], argv, env)
    out = bytearray()

    def drain(seconds):
        end = time.time() + seconds
        while time.time() < end:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                try:
                    data = os.read(fd, 4096)
                except OSError:
                    return False
                if not data:
                    return False
                out.extend(data)
        return True

    drain(1.0)
    for key in keys:
        os.write(fd, key)
        if not drain(pause):
            break
    while drain(0.5):
        pass
    os.waitpid(pid, 0)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)
    print(name, len(out))

WANTED = set(sys.argv[1:])
bash = ["bash", "--norc", "--noprofile"]
typed = [bytes([c]) for c in b"echo abcX"]
record("bash-editing.bin", bash,
       typed + [b"\x7f", b"\x1b[D", b"\x1b[D", b"Z", b"\r",
                b"\x12", b"a", b"Z", b"\r", b"exit\r"])
listing = tempfile.mkdtemp()
for entry in ["notes.txt", "run.sh", "build"]:
    path = os.path.join(listing, entry)
    if entry == "build":
        os.mkdir(path)
    else:
        open(path, "w").close()
os.chmod(os.path.join(listing, "run.sh"), 0o755)
os.symlink("notes.txt", os.path.join(listing, "link"))
record("ls-color.bin", bash, [b"ls --color=always\r", b"exit\r"], cwd=listing)
record("progress.bin", bash,
       [b"for i in 0 25 50 75 100; do printf '\\rDownloading %3d%%\\033[K' $i; sleep 0.05; done; echo\r",
        b"", b"", b"", b"exit\r"])
record("vim.bin", ["vim", "-u", "NONE", "-N", "-i", "NONE"], [b":q\r"], rows=24, columns=80)
record("top.bin", ["top", "-n1"], [], rows=16, columns=80)

# Line editing as the shell's own line editor draws it at two widths: a
# command longer than the row, edited across the wrap; wide characters; a
# decomposed character rubbed out; progress output that moves to a column.
def keys(text):
    return [c.encode() for c in text]

LEFT, HOME, END, RUBOUT = b"\x1b[D", b"\x01", b"\x05", b"\x7f"
for columns in (40, 80):
    record("wrapped-edit-%d.bin" % columns, bash,
           keys("echo the quick brown fox jumps over the lazy dog and runs past the edge of the window")
           + [LEFT] * 40 + keys("XYZ ") + [HOME] + [b"\x1b[C"] * 5 + keys("0") + [END]
           + [RUBOUT] * 3 + [b"\r", b"exit\r"], rows=24, columns=columns, pause=0.05)
    record("wide-edit-%d.bin" % columns, bash,
           keys("echo \u6f22\u5b57ab") + [LEFT] * 3 + keys("X") + [b"\r", b"exit\r"],
           rows=24, columns=columns, pause=0.1)
    record("combining-edit-%d.bin" % columns, bash,
           keys("echo cafe\u0301 ok") + [LEFT] * 3 + [RUBOUT] + keys("e") + [b"\r", b"exit\r"],
           rows=24, columns=columns, pause=0.1)
    record("columns-%d.bin" % columns, bash,
           [b"printf 'name\\033[20Gvalue\\n'; for i in 5 50 100; do printf '\\033[1G\\033[2KProgress %d%%' $i; "
            b"sleep 0.05; done; echo; printf 'abcdef\\033[3G\\033[2X\\n'\r", b"", b"", b"", b"exit\r"],
           rows=24, columns=columns)
