"""cpu_seconds.py RUNS -- COMMAND... [-- COMMAND...]: runs the commands in
turn, RUNS rounds (one run of each command a round, so that a change in
the machine's load falls on all of them alike), and prints one line per
command: the median CPU seconds (user + system) of its runs, to the
microsecond the kernel accounts them in.  A command that fails ends the
script with its standard error and status 1."""
import os
import statistics
import sys
import tempfile


def run(command):
    """CPU seconds of one run of the command; exits when it fails."""
    with tempfile.TemporaryFile() as err:
        pid = os.fork()
        if pid == 0:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.dup2(err.fileno(), 2)
            try:
                os.execvp(command[0], command)
            finally:
                os._exit(127)
        _, status, usage = os.wait4(pid, 0)
        if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
            err.seek(0)
            sys.stderr.write(err.read().decode(errors="replace"))
            sys.stderr.write("failed: %s\n" % " ".join(command))
            sys.exit(1)
    return usage.ru_utime + usage.ru_stime


def main():
    runs = int(sys.argv[1])
    commands = []
    for word in sys.argv[2:]:
        if word == "--":
            commands.append([])
        else:
            commands[-1].append(word)
    times = [[] for _ in commands]
    for _ in range(runs):
        for command, spent in zip(commands, times):
            spent.append(run(command))
    for spent in times:
        print("%.4f" % statistics.median(spent))


main()
