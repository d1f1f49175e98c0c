#!/usr/bin/env python3
"""Streams set-and-query pairs ("*SRE 32\\n*SRE?\\n", with varied values) to
the SCPI socket while reading the answers, as a fast script does, and counts
what went wrong in each round: answers that are not the value just set,
queries never answered, and the errors queued (read with SYST:ERR? on a
connection of its own after the round).

  tools/scpi_stream/stream_pairs.py [--host 127.0.0.1] [--port 5025] [--rounds 6] [--pairs 50000]

Only talk to an instrument (or a service on loopback) that may have its
service request enable register changed: each round ends with *SRE 0.
"""

import argparse
import collections
import socket
import threading
import time

# Every value *SRE keeps (bit 6 is the summary bit), with one to three digits.
VALUES = [v for v in range(256) if v & ~0xBC == 0]
CHUNK = 4096  # bytes per write: the answers are read while the rest is sent
QUIET = 5.0   # seconds without an answer after the last write: the rest never comes


def connect(host, port):
    sock = socket.create_connection((host, port), timeout=QUIET)
    sock.settimeout(QUIET)
    return sock


def ask(sock, text):
    sock.sendall(text.encode() + b"\n")
    data = b""
    while not data.endswith(b"\n"):
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data.decode().strip()


def queued_errors(host, port):
    with connect(host, port) as sock:
        errors = []
        while True:
            text = ask(sock, "SYST:ERR?")
            if text.startswith("0,"):
                return errors
            errors.append(text.split(",", 1)[0])


def stream_round(host, port, pairs, offset):
    expected = [str(VALUES[(offset + i) % len(VALUES)]) for i in range(pairs)]
    text = "".join(f"*SRE {value}\n*SRE?\n" for value in expected).encode()
    with connect(host, port) as sock:
        ask(sock, "*CLS;*OPC?")

        def send():
            for at in range(0, len(text), CHUNK):
                sock.sendall(text[at:at + CHUNK])

        sender = threading.Thread(target=send)
        sender.start()
        answers, rest = [], b""
        while len(answers) < pairs:
            try:
                chunk = sock.recv(1 << 16)
            except socket.timeout:
                if not sender.is_alive():
                    break
                continue
            if not chunk:
                break
            lines = (rest + chunk).split(b"\n")
            rest = lines.pop()
            answers.extend(line.decode() for line in lines)
        sender.join()
        ask(sock, "*SRE 0;*OPC?")
    # Each answer against the value its pair set, skipping queries that
    # never answered (a cut pair answers nothing, or the value before).
    wrong = unanswered = 0
    at = 0
    for answer in answers:
        skip = next((k for k in range(4) if at + k < pairs and expected[at + k] == answer), None)
        if skip is None:
            wrong += 1
            at += 1
        else:
            unanswered += skip
            at += skip + 1
    unanswered += pairs - min(at, pairs)
    return len(answers), wrong, unanswered


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=5025)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--pairs", type=int, default=50000)
    args = parser.parse_args()
    totals = collections.Counter()
    for number in range(args.rounds):
        queued_errors(args.host, args.port)  # start from an empty queue
        started = time.monotonic()
        answered, wrong, unanswered = stream_round(args.host, args.port, args.pairs, number)
        errors = collections.Counter(queued_errors(args.host, args.port))
        totals.update(errors)
        totals.update(pairs=args.pairs, answered=answered, wrong=wrong, unanswered=unanswered)
        print(f"round {number + 1}: {args.pairs} pairs in {time.monotonic() - started:.1f} s, "
              f"{answered} answered, {wrong} wrong, {unanswered} unanswered, errors {dict(errors)}", flush=True)
    errors = {code: n for code, n in totals.items() if code.startswith("-")}
    print(f"total: {totals['pairs']} pairs, {totals['answered']} answered, {totals['wrong']} wrong, "
          f"{totals['unanswered']} unanswered, errors queued {sum(errors.values())} {errors}")


if __name__ == "__main__":
    main()
