#!/usr/bin/python3
"""A pinentry for tests: speaks the Assuan protocol on stdin/stdout like the real program.

Each run answers GETPIN with the next entry of the comma-separated list in the file named
by PINENTRY_STUB_ANSWERS ("cancel" cancels, "hold" keeps the dialog open until the program
is terminated, "await" writes "awaiting <its pid>" to the transcript, waits for SIGUSR1, then
answers with the entry after it, "empty" presses Enter on an empty field), and CONFIRM with
the next entry too ("enter" presses OK, the
default button, "allow" the third button (SETNOTOK), "deny" the cancel button, "timeout" as a
dialog left open too long, "hold" and "await" as for GETPIN) and MESSAGE alike, and appends to PINENTRY_STUB_TRANSCRIPT a
line "program <its file name>",
the commands it received, one per line, and a line "--". A copy whose file name is in the
comma-separated PINENTRY_STUB_CURSES acts as pinentry-curses does without a terminal: GETPIN
fails. With PINENTRY_STUB_ACTIVATE set to an X11 window id, GETPIN first activates that
window, as a real PIN dialog takes the focus. With PINENTRY_STUB_SITE_PINS naming a file of
lines "<origin> <answer>", GETPIN answers a dialog whose description names one of those
sites ("Trang web <origin> ...") with that site's answer instead.
"""

import os
import signal
import subprocess
import sys


CONFIRM_REPLIES = {
    "enter": "OK",
    "allow": "ERR 83886194 Not confirmed <Pinentry>",
    "deny": "ERR 83886179 Operation cancelled <Pinentry>",
    "cancel": "ERR 83886179 Operation cancelled <Pinentry>",
    "timeout": "ERR 83886142 Timeout <Pinentry>",
}


def next_answer():
    path = os.environ["PINENTRY_STUB_ANSWERS"]
    with open(path) as f:
        answers = f.read().strip().split(",")
    with open(path, "w") as f:
        f.write(",".join(answers[1:]))
    return answers[0] if answers and answers[0] else "cancel"


def site_answer(description):
    """The answer PINENTRY_STUB_SITE_PINS gives the site this description names, if any."""
    path = os.environ.get("PINENTRY_STUB_SITE_PINS")
    if not path:
        return None
    with open(path) as f:
        for line in f:
            origin, _, answer = line.rstrip("\n").partition(" ")
            if description.startswith(f"SETDESC Trang web {origin} "):
                return answer
    return None


def awaited_answer(transcript):
    """Says "awaiting <pid>" in the transcript, waits for SIGUSR1, then takes the next answer."""
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    transcript.write(f"awaiting {os.getpid()}\n")
    transcript.flush()
    signal.sigwait({signal.SIGUSR1})
    return next_answer()


def escape(text):
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def main():
    transcript = open(os.environ["PINENTRY_STUB_TRANSCRIPT"], "a")
    program = os.path.basename(sys.argv[0])
    curses = program in os.environ.get("PINENTRY_STUB_CURSES", "").split(",")
    transcript.write(f"program {program}\n")
    transcript.flush()

    def terminated(*_):
        transcript.write("terminated\n--\n")
        transcript.close()
        os._exit(0)
    signal.signal(signal.SIGTERM, terminated)

    out = sys.stdout
    out.write("OK Pleased to meet you\n")
    out.flush()
    description = ""
    for line in sys.stdin:
        command = line.rstrip("\n")
        if command.startswith("SETDESC "):
            description = command
        transcript.write(command + "\n")
        transcript.flush()
        if command == "GETPIN" and curses and not os.isatty(0):
            out.write("ERR 83918950 Inappropriate ioctl for device <Pinentry>\n")
        elif command == "GETPIN":
            if os.environ.get("PINENTRY_STUB_ACTIVATE"):
                subprocess.run(["xdotool", "windowactivate", "--sync",
                                os.environ["PINENTRY_STUB_ACTIVATE"]], check=True)
                transcript.write("activated\n")
            answer = site_answer(description)
            if answer is None:
                answer = next_answer()
            if answer == "hold":
                signal.pause()
            if answer == "await":
                answer = awaited_answer(transcript)
            if answer == "cancel":
                out.write("ERR 83886179 Operation cancelled <Pinentry>\n")
            elif answer == "empty":
                out.write("OK\n")
            else:
                out.write("# a comment line\nS SOME status\n")
                out.write(f"D {escape(answer)}\nOK\n")
        elif command in ("CONFIRM", "MESSAGE"):
            answer = next_answer()
            if answer == "hold":
                signal.pause()
            if answer == "await":
                answer = awaited_answer(transcript)
            out.write(CONFIRM_REPLIES[answer] + "\n")
        elif command == "BYE":
            break
        else:
            out.write("OK\n")
        out.flush()
    transcript.write("--\n")
    transcript.close()
    # The agent may hang up without waiting for the farewell.
    try:
        out.write("OK closing connection\n")
        out.flush()
    except BrokenPipeError:
        pass


if __name__ == "__main__":
    main()
