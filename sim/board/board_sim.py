#!/usr/bin/env python3
"""Simulated picture board on the host end of the pseudo-terminal that the test session maps
to COM1 inside Wine.

The board speaks the framed register protocol: every frame starts 0xAA 0x00, byte 2 is the
frame's total length L (checksum included), the last byte is the sum of all bytes before it
(mod 256), register addresses are 16-bit big-endian.

  request          L      bytes 3-4   then
  register write   n+8    00 00       address, n data bytes, checksum
  register read    9      00 80       address, count, checksum
  board reset      6      F0 00       checksum

  reply to write   8      00 00       status (16-bit), checksum
  reply to reset   8      F0 00       status, checksum
  reply to read    10+c   00 80       status, address, c data bytes, checksum

Run directory (default: $VORN_RUN_DIR/board-sim) holds:
  frames.log      one line per decoded frame (see FrameLog)
  control         commands appended by tests, one per line: "<seq> <command> [args]"
  ack             "<seq> ok" or "<seq> error <text>" after each command line
  registers.bin   the 64 KiB register array, written by the "dump" command
  ready, pid      written once the board listens

Commands:
  fault <kind> [value] [op=read|write|reset|any] [addr=A] [at=A] [count=N]
        kinds: noreply, delay <ms>, status <value>, badlen [length delta, default +1], badsum,
               truncate <bytes kept>, shift <signed offset>, extra <stray bytes>; without
               count the fault stays. addr= hits a request whose range covers A, at= only a
               request that starts at A. Of several armed faults of one kind only the first
               that matches applies (and is counted); faults of different kinds combine.
  clear-faults
  poke <addr> <hex bytes>          set registers now
  profile <addr> <hex bytes>       change the power-on profile (takes effect on reload)
  profile-default                  back to the built-in power-on profile
  profile-filler                   the filler power-on profile: every register byte non-zero,
                                   the defined fields set, filler bits everywhere else
  refused-writes store|drop        whether a write answered with a bad status is stored
  lost-writes store|drop           whether a write whose reply is not sent (noreply,
                                   truncate) is stored
  reload                           registers := power-on profile
  reset-reloads on|off             whether a board reset frame reloads the profile
  dump                             write registers.bin
  clear-log
  reset-all                        faults cleared, default profile reloaded, log cleared
  quit

Usage:
  board_sim.py run   [--pty PATH] [--dir DIR]     in the foreground
  board_sim.py start [--pty PATH] [--dir DIR]     as a daemon; returns once it listens
  board_sim.py stop  [--dir DIR]                  ends the daemon started there
"""

import argparse
import errno
import os
import select
import signal
import sys
import termios
import time
import tty

REGISTER_SPACE = 0x10000
MAX_FRAME = 255
MAX_READ = 245                # the longest read whose reply fits a frame
PARTIAL_FRAME_TIMEOUT = 0.5   # seconds an incomplete frame may wait for its remaining bytes
POLL_INTERVAL = 0.02          # control file poll period

OP_WRITE = (0x00, 0x00)
OP_READ = (0x00, 0x80)
OP_RESET = (0xF0, 0x00)


def checksum(data):
    return sum(data) & 0xFF


def make_frame(body):
    """Frame from header-less body bytes (bytes 3 .. L-2): adds header, length and sum."""
    frame = bytearray([0xAA, 0x00, len(body) + 4]) + bytes(body)
    frame.append(checksum(frame))
    return bytes(frame)


def hexstr(data):
    return bytes(data).hex().upper()


# --- Power-on profile -----------------------------------------------------------------------

def default_profile():
    """Register contents at power-on: address -> bytes. Everything else is 0."""
    return {
        0x5062: bytes([7]),               # panel identifier
        0x506A: bytes([0x00, 0x02]),      # format code (low nibble of 0x506B): YUV422
        0x5011: bytes([0x10]),            # colour space 2 (YUV) in bits 3-4
        0x5136: bytes([0x01, 0x00]),      # I/O mute register: bits 0-1 = 1, mute off
        0x5095: bytes([1]),               # calibration mode
        0x50E4: bytes([0x01]),            # picture on
        0x5040: bytes([0, 0, 0, 0]),      # view position x, y
        0x5160: bytes([0x02, 0xD0, 0x01, 0xE0]),  # view size 720 x 480
        0x5150: bytes([0x00]),            # wide zoom off
    }


FILLER = 0x5A   # 0101 1010: bits set and clear in every nibble


def filler_profile():
    """Every register byte non-zero: FILLER everywhere, the defined fields of the default
    profile set within it, so that a reader that drops neighbouring bits or fails to mask a
    field is seen. Given as one run over the whole space."""
    regs = bytearray([FILLER]) * REGISTER_SPACE

    def field(addr, mask, value):
        regs[addr] = (regs[addr] & ~mask & 0xFF) | (value & mask)

    regs[0x5062] = 7                      # panel identifier (the whole byte)
    field(0x506B, 0x0F, 0x02)             # format code YUV422
    field(0x5011, 0x18, 2 << 3)           # colour space YUV
    field(0x5136, 0x07, 0x01)             # I/O mute bits 0-1 = 1, mute off
    field(0x5095, 0x07, 1)                # calibration mode 1
    field(0x50E4, 0x01, 1)                # picture on
    field(0x5150, 0x04, 0)                # wide zoom off
    # View 0,0 / 720 x 480: high bits 0-2 in the even bytes, low bytes whole.
    for addr, value in ((0x5040, 0), (0x5042, 0), (0x5160, 720), (0x5162, 480)):
        field(addr, 0x07, value >> 8)
        regs[addr + 1] = value & 0xFF
    return {0: bytes(regs)}


# --- Frame parser ---------------------------------------------------------------------------

class FrameParser:
    """Accumulates bytes and yields events:
       ("frame", bytes)      a complete frame with a correct checksum
       ("badsum", bytes)     a complete frame whose checksum is wrong (dropped whole)
       ("garbage", bytes)    bytes dropped while hunting for 0xAA 0x00 or a sane length
       ("partial", bytes)    an incomplete frame discarded after PARTIAL_FRAME_TIMEOUT
    """

    def __init__(self):
        self.buf = bytearray()
        self.last_byte_time = 0.0

    def feed(self, data, now=None):
        now = time.monotonic() if now is None else now
        events = self.expire(now)
        if data:
            self.buf += data
            self.last_byte_time = now
        events += self._parse()
        return events

    def expire(self, now=None):
        now = time.monotonic() if now is None else now
        if self.buf and now - self.last_byte_time > PARTIAL_FRAME_TIMEOUT:
            dropped = bytes(self.buf)
            self.buf.clear()
            return [("partial", dropped)]
        return []

    def pending(self):
        return len(self.buf)

    def _parse(self):
        events = []
        while True:
            garbage = bytearray()
            while self.buf:
                if self.buf[0] == 0xAA and (len(self.buf) < 2 or self.buf[1] == 0x00):
                    if len(self.buf) < 3 or self.buf[2] >= 6:
                        break
                garbage.append(self.buf.pop(0))
            if garbage:
                events.append(("garbage", bytes(garbage)))
            if len(self.buf) < 3:
                return events
            length = self.buf[2]
            if len(self.buf) < length:
                return events
            frame = bytes(self.buf[:length])
            del self.buf[:length]
            if checksum(frame[:-1]) == frame[-1]:
                events.append(("frame", frame))
            else:
                events.append(("badsum", frame))


def decode(frame):
    """Decoded fields of a frame (request or reply) as an ordered list of (key, value)."""
    fields = []
    if len(frame) < 6:
        return [("op", "short")]
    op = (frame[3], frame[4])
    length = frame[2]
    if op == OP_RESET:
        fields.append(("op", "reset"))
        if length >= 8:
            fields.append(("status", "%04X" % ((frame[5] << 8) | frame[6])))
    elif op == OP_READ and length == 9:
        fields += [("op", "read"), ("addr", "%04X" % ((frame[5] << 8) | frame[6])),
                   ("count", str(frame[7]))]
    elif op == OP_READ and length >= 10:
        fields += [("op", "read-reply"), ("status", "%04X" % ((frame[5] << 8) | frame[6])),
                   ("addr", "%04X" % ((frame[7] << 8) | frame[8])),
                   ("count", str(length - 10)), ("data", hexstr(frame[9:-1]))]
    elif op == OP_WRITE and length == 8:
        # A write of no data and a write reply look alike; the direction tells them apart.
        fields += [("op", "write-or-reply"), ("addr-or-status", "%04X" % ((frame[5] << 8) | frame[6]))]
    elif op == OP_WRITE and length > 8:
        fields += [("op", "write"), ("addr", "%04X" % ((frame[5] << 8) | frame[6])),
                   ("count", str(length - 8)), ("data", hexstr(frame[7:-1]))]
    else:
        fields += [("op", "unknown"), ("cmd", "%02X%02X" % op)]
    return fields


# --- Faults ---------------------------------------------------------------------------------

FAULT_KINDS = {"noreply": False, "delay": True, "status": True, "badlen": False,
               "badsum": False, "truncate": False, "shift": True, "extra": False}


class Fault:
    def __init__(self, kind, value=None, op="any", addr=None, count=None, at=None):
        if kind not in FAULT_KINDS:
            raise ValueError("unknown fault '%s'" % kind)
        if FAULT_KINDS[kind] and value is None:
            raise ValueError("fault '%s' needs a value" % kind)
        if op not in ("any", "read", "write", "reset"):
            raise ValueError("unknown op '%s'" % op)
        self.kind, self.value, self.op, self.addr, self.count = kind, value, op, addr, count
        self.at = at

    def matches(self, op, addr, size):
        if self.count is not None and self.count <= 0:
            return False
        if self.op != "any" and self.op != op:
            return False
        if self.at is not None and (op == "reset" or addr != self.at):
            return False
        if self.addr is not None:
            if op == "reset" or not (addr <= self.addr < addr + max(size, 1)):
                return False
        return True

    def describe(self):
        return self.kind if self.value is None else "%s:%d" % (self.kind, self.value)


def parse_int(text):
    return int(text, 0)


def parse_fault(args):
    if not args:
        raise ValueError("fault needs a kind")
    kind, rest = args[0], args[1:]
    value = None
    if rest and "=" not in rest[0]:
        value = parse_int(rest[0])
        rest = rest[1:]
    opts = {}
    for item in rest:
        key, sep, val = item.partition("=")
        if not sep or key not in ("op", "addr", "at", "count"):
            raise ValueError("bad fault option '%s'" % item)
        opts[key] = val
    return Fault(kind, value, opts.get("op", "any"),
                 parse_int(opts["addr"]) if "addr" in opts else None,
                 parse_int(opts["count"]) if "count" in opts else None,
                 parse_int(opts["at"]) if "at" in opts else None)


# --- The board ------------------------------------------------------------------------------

class Board:
    def __init__(self):
        self.profile = default_profile()
        self.registers = bytearray(REGISTER_SPACE)
        self.faults = []
        self.reset_reloads = False
        self.store_refused = True
        self.store_lost = True
        self.reload()

    def reload(self):
        self.registers = bytearray(REGISTER_SPACE)
        for addr, data in self.profile.items():
            self._store(addr, data)

    def _store(self, addr, data):
        for i, b in enumerate(data):
            self.registers[(addr + i) % REGISTER_SPACE] = b

    def read(self, addr, count):
        return bytes(self.registers[(addr + i) % REGISTER_SPACE] for i in range(count))

    def classify(self, frame):
        """(op, addr, size) of a request frame, or None for a frame the board does not know."""
        op, length = (frame[3], frame[4]), frame[2]
        if op == OP_WRITE and length >= 8:
            return ("write", (frame[5] << 8) | frame[6], length - 8)
        if op == OP_READ and length == 9 and frame[7] <= MAX_READ:
            return ("read", (frame[5] << 8) | frame[6], frame[7])
        if op == OP_RESET and length == 6:
            return ("reset", 0, 0)
        return None

    def handle(self, frame):
        """Executes a request. Returns (reply bytes or None, delay in s, applied fault names).
        Unknown frames get no reply, as a real board would stay silent."""
        kind = self.classify(frame)
        if kind is None:
            return None, 0.0, []
        op, addr, size = kind
        active, seen = [], set()
        for f in self.faults:    # the first matching fault of each kind
            if f.kind not in seen and f.matches(op, addr, size):
                seen.add(f.kind)
                active.append(f)
        for f in active:
            if f.count is not None:
                f.count -= 1
        self.faults = [f for f in self.faults if f.count is None or f.count > 0]
        names = [f.describe() for f in active]
        kinds = {f.kind: f for f in active}

        status = kinds["status"].value & 0xFFFF if "status" in kinds else 0
        if op == "write":
            refused = status not in (0, 0x1000)
            lost = "noreply" in kinds or "truncate" in kinds
            if (self.store_refused or not refused) and (self.store_lost or not lost):
                self._store(addr, frame[7:-1])
            body = bytes([0x00, 0x00, status >> 8, status & 0xFF])
        elif op == "reset":
            if self.reset_reloads:
                self.reload()
            body = bytes([0xF0, 0x00, status >> 8, status & 0xFF])
        else:
            reply_addr = (addr + kinds["shift"].value) & 0xFFFF if "shift" in kinds else addr
            body = bytes([0x00, 0x80, status >> 8, status & 0xFF, reply_addr >> 8,
                          reply_addr & 0xFF]) + self.read(addr, size)
        if "noreply" in kinds:
            return None, 0.0, names
        reply = bytearray(make_frame(body))
        if "badlen" in kinds:
            delta = kinds["badlen"].value if kinds["badlen"].value is not None else 1
            reply[2] = (reply[2] + delta) & 0xFF
            reply[-1] = checksum(reply[:-1])
        if "badsum" in kinds:
            reply[-1] = (reply[-1] + 1) & 0xFF
        if "truncate" in kinds:
            keep = kinds["truncate"].value
            keep = len(reply) - 1 if keep is None else max(0, min(keep, len(reply)))
            reply = reply[:keep]
        if "extra" in kinds:
            extra = kinds["extra"].value or 1
            reply += bytes((0x55 + i) & 0xFF for i in range(extra))
        delay = kinds["delay"].value / 1000.0 if "delay" in kinds else 0.0
        return bytes(reply), delay, names


# --- Frame log ------------------------------------------------------------------------------

class FrameLog:
    """frames.log: "<ms> <RX|TX> <event> key=value ... raw=<hex>", one line per frame.
    RX is towards the board, TX from it. <ms> counts from the simulator's start."""

    def __init__(self, path, start):
        self.path, self.start = path, start
        self.file = open(path, "a", buffering=1)

    def write(self, direction, event, fields=(), raw=b""):
        ms = (time.monotonic() - self.start) * 1000.0
        parts = ["%.3f" % ms, direction, event] + ["%s=%s" % kv for kv in fields]
        parts.append("raw=%s" % hexstr(raw))
        self.file.write(" ".join(parts) + "\n")

    def clear(self):
        self.file.close()
        self.file = open(self.path, "w", buffering=1)

    def close(self):
        self.file.close()


# --- The simulator loop ---------------------------------------------------------------------

class Simulator:
    def __init__(self, fd, run_dir):
        self.fd, self.dir = fd, run_dir
        self.board = Board()
        self.parser = FrameParser()
        self.start = time.monotonic()
        self.log = FrameLog(os.path.join(run_dir, "frames.log"), self.start)
        self.control_path = os.path.join(run_dir, "control")
        self.control_offset = 0
        self.control_rest = b""
        self.pending = []        # (due time, bytes, event fields) of delayed replies
        self.running = True
        open(self.control_path, "ab").close()

    # Requests from the port
    def on_bytes(self, data):
        for event, frame in self.parser.feed(data):
            self.on_event(event, frame)

    def on_event(self, event, frame):
        if event != "frame":
            self.log.write("RX", event, [("bytes", str(len(frame)))], frame)
            return
        self.log.write("RX", "frame", self._request_fields(frame), frame)
        reply, delay, faults = self.board.handle(frame)
        fault_field = [("fault", ",".join(faults))] if faults else []
        if reply is None:
            if self.board.classify(frame) is None:
                too_long = (frame[3], frame[4]) == OP_READ and frame[2] == 9
                self.log.write("TX", "none", [("reason", "read-too-long" if too_long else "unknown-request")])
            else:
                self.log.write("TX", "none", fault_field)
            return
        fields = self._reply_fields(reply) + fault_field
        if delay > 0:
            self.pending.append((time.monotonic() + delay, reply, fields))
            self.pending.sort(key=lambda p: p[0])
        else:
            self.send(reply, fields)

    def _request_fields(self, frame):
        kind = self.board.classify(frame)
        if kind is None:
            return decode(frame)
        op, addr, size = kind
        if op == "write":
            return [("op", "write"), ("addr", "%04X" % addr), ("count", str(size)),
                    ("data", hexstr(frame[7:-1]))]
        if op == "read":
            return [("op", "read"), ("addr", "%04X" % addr), ("count", str(size))]
        return [("op", "reset")]

    def _reply_fields(self, reply):
        if len(reply) >= 8 and reply[0] == 0xAA and reply[1] == 0x00:
            op = (reply[3], reply[4])
            status = "%04X" % ((reply[5] << 8) | reply[6])
            if op == OP_READ and len(reply) >= 10:
                return [("op", "read-reply"), ("status", status),
                        ("addr", "%04X" % ((reply[7] << 8) | reply[8])),
                        ("count", str(max(0, len(reply) - 10)))]
            return [("op", "reset-reply" if op == OP_RESET else "write-reply"), ("status", status)]
        return [("op", "fragment")]

    def send(self, data, fields):
        self.log.write("TX", "frame", fields, data)
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.fd], [], 0.1)

    def flush_due(self):
        now = time.monotonic()
        while self.pending and self.pending[0][0] <= now:
            _, reply, fields = self.pending.pop(0)
            self.send(reply, fields)

    # Commands from the control file
    def poll_control(self):
        try:
            size = os.path.getsize(self.control_path)
        except OSError:
            return
        if size < self.control_offset:   # truncated by someone: start over
            self.control_offset, self.control_rest = 0, b""
        if size == self.control_offset:
            return
        with open(self.control_path, "rb") as f:
            f.seek(self.control_offset)
            data = f.read(size - self.control_offset)
        self.control_offset += len(data)
        data = self.control_rest + data
        lines = data.split(b"\n")
        self.control_rest = lines.pop()
        for line in lines:
            text = line.decode("utf-8", "replace").strip()
            if text:
                self.run_command_line(text)

    def run_command_line(self, text):
        words = text.split()
        seq = words[0] if words[0].isdigit() else None
        if seq is not None:
            words = words[1:]
        try:
            self.command(words)
            result = "ok"
        except (ValueError, IndexError) as e:
            result = "error %s" % e
        self.log.write("--", "control", [("command", "_".join(words)), ("result", result.split()[0])])
        if seq is not None:
            tmp = os.path.join(self.dir, "ack.tmp")
            with open(tmp, "w") as f:
                f.write("%s %s\n" % (seq, result))
            os.replace(tmp, os.path.join(self.dir, "ack"))

    def command(self, words):
        if not words:
            raise ValueError("empty command")
        name, args = words[0], words[1:]
        board = self.board
        if name == "fault":
            board.faults.append(parse_fault(args))
        elif name == "clear-faults":
            board.faults = []
        elif name == "poke":
            board._store(parse_int(args[0]), bytes.fromhex("".join(args[1:])))
        elif name == "profile":
            board.profile[parse_int(args[0])] = bytes.fromhex("".join(args[1:]))
        elif name == "profile-default":
            board.profile = default_profile()
        elif name == "profile-filler":
            board.profile = filler_profile()
        elif name in ("refused-writes", "lost-writes"):
            if not args or args[0] not in ("store", "drop"):
                raise ValueError("%s store|drop" % name)
            setattr(board, "store_refused" if name == "refused-writes" else "store_lost", args[0] == "store")
        elif name == "reload":
            board.reload()
        elif name == "reset-reloads":
            if args[0] not in ("on", "off"):
                raise ValueError("reset-reloads on|off")
            board.reset_reloads = args[0] == "on"
        elif name == "dump":
            self.dump()
        elif name == "clear-log":
            self.log.clear()
        elif name == "reset-all":
            board.faults = []
            board.profile = default_profile()
            board.reset_reloads = False
            board.store_refused = board.store_lost = True
            board.reload()
            self.pending = []
            self.parser = FrameParser()
            self.log.clear()
        elif name == "quit":
            self.running = False
        else:
            raise ValueError("unknown command '%s'" % name)

    def dump(self):
        tmp = os.path.join(self.dir, "registers.tmp")
        with open(tmp, "wb") as f:
            f.write(self.board.registers)
        os.replace(tmp, os.path.join(self.dir, "registers.bin"))

    def loop(self, still_wanted=lambda: True):
        last_check = time.monotonic()
        while self.running:
            timeout = POLL_INTERVAL
            if self.pending:
                timeout = max(0.0, min(timeout, self.pending[0][0] - time.monotonic()))
            readable, _, _ = select.select([self.fd], [], [], timeout)
            if readable:
                try:
                    data = os.read(self.fd, 4096)
                except OSError as e:
                    if e.errno in (errno.EAGAIN, errno.EINTR):
                        continue
                    break          # the pty pair is gone: the session has ended
                if not data:
                    break
                self.on_bytes(data)
            else:
                for event, frame in self.parser.expire():
                    self.on_event(event, frame)
            self.flush_due()
            self.poll_control()
            if time.monotonic() - last_check > 1.0:
                last_check = time.monotonic()
                if not still_wanted():
                    break
        self.log.close()


def open_port(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    if os.isatty(fd):
        tty.setraw(fd, termios.TCSANOW)
    return fd


# --- Command line ---------------------------------------------------------------------------

def default_dir():
    run = os.environ.get("VORN_RUN_DIR")
    return os.path.join(run, "board-sim") if run else None


def run(pty_path, run_dir):
    os.makedirs(run_dir, exist_ok=True)
    fd = open_port(pty_path)
    sim = Simulator(fd, run_dir)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: (stop.append(1), setattr(sim, "running", False)))
    with open(os.path.join(run_dir, "pid"), "w") as f:
        f.write("%d\n" % os.getpid())
    with open(os.path.join(run_dir, "ready"), "w") as f:
        f.write("%s\n" % pty_path)
    try:
        # Ends by itself when its pty or its run directory disappears (the session is over).
        sim.loop(lambda: os.path.exists(pty_path) and os.path.isdir(run_dir))
    finally:
        os.close(fd)
        for name in ("ready", "pid"):
            try:
                os.unlink(os.path.join(run_dir, name))
            except OSError:
                pass
    return 0


def start(pty_path, run_dir, wait=10.0):
    os.makedirs(run_dir, exist_ok=True)
    for name in ("ready", "pid"):
        try:
            os.unlink(os.path.join(run_dir, name))
        except OSError:
            pass
    child = os.fork()
    if child == 0:
        os.setsid()
        if os.fork() != 0:
            os._exit(0)
        # The daemon: no inherited output pipes (ctest would wait for them).
        null = os.open(os.devnull, os.O_RDWR)
        out = os.open(os.path.join(run_dir, "sim.out"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        os.dup2(null, 0)
        os.dup2(out, 1)
        os.dup2(out, 2)
        code = 1
        try:
            code = run(pty_path, run_dir)
        except BaseException as e:  # noqa: BLE001 - report and leave
            print("board_sim: %r" % e, file=sys.stderr)
        os._exit(code)
    os.waitpid(child, 0)
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        if os.path.exists(os.path.join(run_dir, "ready")):
            print("board_sim: listening on %s, directory %s" % (pty_path, run_dir))
            return 0
        time.sleep(0.05)
    print("board_sim: did not come up within %.0f s (see %s/sim.out)" % (wait, run_dir), file=sys.stderr)
    stop(run_dir)
    return 1


def is_our_daemon(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"board_sim.py" in f.read()
    except OSError:
        return False


def stop(run_dir, wait=5.0):
    try:
        with open(os.path.join(run_dir, "pid")) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0   # not running
    if not is_our_daemon(pid):
        return 0
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline and is_our_daemon(pid):
        time.sleep(0.05)
    if is_our_daemon(pid):
        os.kill(pid, signal.SIGKILL)
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description="simulated picture board")
    parser.add_argument("action", choices=["run", "start", "stop"])
    parser.add_argument("--pty", default=os.environ.get("VORN_BOARD_PTY"))
    parser.add_argument("--dir", default=default_dir())
    args = parser.parse_args(argv)
    if not args.dir:
        parser.error("no run directory (--dir, or VORN_RUN_DIR from the Wine session)")
    if args.action == "stop":
        return stop(args.dir)
    if not args.pty:
        parser.error("no pty (--pty, or VORN_BOARD_PTY from the Wine session)")
    if args.action == "run":
        return run(args.pty, args.dir)
    return start(args.pty, args.dir)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
