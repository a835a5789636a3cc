#!/usr/bin/env python3
# Records what real programs write to a pseudo-terminal (40 rows by 120
# columns; full-screen programs on fewer, to keep their recordings short),
# keys typed with pauses as a person would, into the fixtures beside this
# script. Run once by hand; the tests only read the recordings.
import fcntl, os, pty, select, struct, sys, tempfile, termios, time

HERE = os.path.dirname(os.path.abspath(__file__))

def record(name, argv, keys, env_extra=None, cwd=None, rows=40, columns=120):
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
        if not drain(0.3):
            break
    while drain(0.5):
        pass
    os.waitpid(pid, 0)
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(out)
    print(name, len(out))

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
