#!/usr/bin/python3
"""A pinentry for tests: speaks the Assuan protocol on stdin/stdout like the real program.

Each run answers GETPIN with the next entry of the comma-separated list in the file named
by PINENTRY_STUB_ANSWERS ("cancel" cancels), and appends the commands it received, one
per line, to PINENTRY_STUB_TRANSCRIPT, followed by a line "--" per run. With
PINENTRY_STUB_ACTIVATE set to an X11 window id, GETPIN first activates that window, as a
real PIN dialog takes the focus.
"""

import os
import subprocess
import sys


def next_answer():
    path = os.environ["PINENTRY_STUB_ANSWERS"]
    with open(path) as f:
        answers = f.read().strip().split(",")
    with open(path, "w") as f:
        f.write(",".join(answers[1:]))
    return answers[0] if answers and answers[0] else "cancel"


def escape(text):
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def main():
    transcript = open(os.environ["PINENTRY_STUB_TRANSCRIPT"], "a")
    out = sys.stdout
    out.write("OK Pleased to meet you\n")
    out.flush()
    for line in sys.stdin:
        command = line.rstrip("\n")
        transcript.write(command + "\n")
        transcript.flush()
        if command == "GETPIN":
            if os.environ.get("PINENTRY_STUB_ACTIVATE"):
                subprocess.run(["xdotool", "windowactivate", "--sync",
                                os.environ["PINENTRY_STUB_ACTIVATE"]], check=True)
                transcript.write("activated\n")
            answer = next_answer()
            if answer == "cancel":
                out.write("ERR 83886179 Operation cancelled <Pinentry>\n")
            else:
                out.write("# a comment line\nS SOME status\n")
                out.write(f"D {escape(answer)}\nOK\n")
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
