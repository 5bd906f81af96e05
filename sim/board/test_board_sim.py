"""Unit tests of the simulated picture board: frame parser, register model, every fault it can
inject, the control file, and a round trip over a real pseudo-terminal."""

import os
import pty
import select
import shutil
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import board_sim as bs  # noqa: E402


def write_frame(addr, data):
    return bs.make_frame(bytes([0x00, 0x00, addr >> 8, addr & 0xFF]) + bytes(data))


def read_frame(addr, count):
    return bs.make_frame(bytes([0x00, 0x80, addr >> 8, addr & 0xFF, count]))


def reset_frame():
    return bs.make_frame(bytes([0xF0, 0x00]))


class FrameLayout(unittest.TestCase):
    def test_write_frame_matches_the_documented_bytes(self):
        frame = write_frame(0x406F, [1, 2, 3])
        body = bytes([0xAA, 0x00, 0x0B, 0x00, 0x00, 0x40, 0x6F, 1, 2, 3])
        self.assertEqual(frame, body + bytes([sum(body) & 0xFF]))
        self.assertEqual(reset_frame(), bytes([0xAA, 0x00, 0x06, 0xF0, 0x00, 0xA0]))


class Parser(unittest.TestCase):
    def test_frame_split_across_reads_is_assembled(self):
        p = bs.FrameParser()
        frame = read_frame(0x5062, 1)
        events = []
        for i in range(len(frame)):
            events += p.feed(frame[i:i + 1], now=0.0)
        self.assertEqual(events, [("frame", frame)])

    def test_joined_frames_in_one_read_are_all_found(self):
        p = bs.FrameParser()
        a, b, c = read_frame(0x5000, 16), write_frame(0x5034, [0] * 8), reset_frame()
        self.assertEqual(p.feed(a + b + c, now=0.0), [("frame", a), ("frame", b), ("frame", c)])

    def test_bad_checksum_drops_that_frame_only(self):
        p = bs.FrameParser()
        bad = bytearray(read_frame(0x5062, 1))
        bad[-1] ^= 0x01
        good = read_frame(0x5063, 1)
        self.assertEqual(p.feed(bytes(bad) + good, now=0.0), [("badsum", bytes(bad)), ("frame", good)])

    def test_garbage_before_a_frame_is_skipped(self):
        p = bs.FrameParser()
        frame = reset_frame()
        events = p.feed(b"\x01\xAA\x01\xAA\x00\x02" + frame, now=0.0)
        self.assertEqual(events[-1], ("frame", frame))
        self.assertEqual(b"".join(e[1] for e in events if e[0] == "garbage"), b"\x01\xAA\x01\xAA\x00\x02")

    def test_incomplete_frame_expires(self):
        p = bs.FrameParser()
        self.assertEqual(p.feed(read_frame(0x5062, 1)[:5], now=0.0), [])
        self.assertEqual(p.expire(now=0.1), [])
        self.assertEqual(p.expire(now=1.0)[0][0], "partial")
        frame = reset_frame()
        self.assertEqual(p.feed(frame, now=1.1), [("frame", frame)])


class BoardModel(unittest.TestCase):
    def setUp(self):
        self.board = bs.Board()

    def parse_reply(self, reply):
        self.assertEqual(reply[:2], b"\xAA\x00")
        self.assertEqual(reply[2], len(reply))
        self.assertEqual(reply[-1], bs.checksum(reply[:-1]))
        return reply

    def test_power_on_profile(self):
        reply, _, _ = self.board.handle(read_frame(0x5062, 1))
        self.parse_reply(reply)
        self.assertEqual(reply, bs.make_frame(bytes([0x00, 0x80, 0, 0, 0x50, 0x62, 7])))
        self.assertEqual(self.board.read(0x506A, 2), b"\x00\x02")
        self.assertEqual(self.board.read(0x5160, 4), bytes([0x02, 0xD0, 0x01, 0xE0]))
        self.assertEqual(self.board.read(0x1234, 3), b"\0\0\0")

    def test_write_then_read_back(self):
        reply, _, _ = self.board.handle(write_frame(0x50E5, [1, 2, 3, 4, 5, 6]))
        self.assertEqual(self.parse_reply(reply), bs.make_frame(b"\x00\x00\x00\x00"))
        reply, _, _ = self.board.handle(read_frame(0x50E4, 7))
        self.assertEqual(reply[9:-1], bytes([1, 1, 2, 3, 4, 5, 6]))
        self.assertEqual(len(reply), 17)

    def test_largest_read_reply_is_255_bytes(self):
        reply, _, _ = self.board.handle(read_frame(0x4000, 245))
        self.assertEqual(len(self.parse_reply(reply)), 255)

    def test_reset_acknowledges_and_reloads_only_when_asked(self):
        self.board.handle(write_frame(0x5062, [9]))
        reply, _, _ = self.board.handle(reset_frame())
        self.assertEqual(reply, bs.make_frame(b"\xF0\x00\x00\x00"))
        self.assertEqual(self.board.read(0x5062, 1), b"\x09")
        self.board.reset_reloads = True
        self.board.handle(reset_frame())
        self.assertEqual(self.board.read(0x5062, 1), b"\x07")

    def test_unknown_request_gets_no_reply(self):
        reply, _, _ = self.board.handle(bs.make_frame(b"\x12\x34\x00\x00"))
        self.assertIsNone(reply)


class Faults(unittest.TestCase):
    def setUp(self):
        self.board = bs.Board()

    def inject(self, text):
        self.board.faults.append(bs.parse_fault(text.split()))

    def test_no_reply(self):
        self.inject("noreply op=read count=1")
        self.assertIsNone(self.board.handle(read_frame(0x5062, 1))[0])
        self.assertIsNotNone(self.board.handle(read_frame(0x5062, 1))[0])

    def test_delay(self):
        self.inject("delay 1500")
        reply, delay, names = self.board.handle(reset_frame())
        self.assertEqual((delay, names), (1.5, ["delay:1500"]))
        self.assertEqual(reply, bs.make_frame(b"\xF0\x00\x00\x00"))

    def test_status(self):
        self.inject("status 0x1000 op=write")
        reply, _, _ = self.board.handle(write_frame(0x5000, [1]))
        self.assertEqual(reply, bs.make_frame(b"\x00\x00\x10\x00"))
        reply, _, _ = self.board.handle(read_frame(0x5000, 1))
        self.assertEqual(reply[5:7], b"\x00\x00")

    def test_wrong_length_keeps_a_correct_checksum(self):
        self.inject("badlen")
        reply, _, _ = self.board.handle(read_frame(0x5062, 1))
        self.assertEqual(reply[2], len(reply) + 1)
        self.assertEqual(reply[-1], bs.checksum(reply[:-1]))

    def test_bad_checksum(self):
        self.inject("badsum")
        reply, _, _ = self.board.handle(write_frame(0x5000, [1]))
        self.assertEqual(len(reply), 8)
        self.assertNotEqual(reply[-1], bs.checksum(reply[:-1]))

    def test_truncated_reply(self):
        self.inject("truncate")
        self.assertEqual(len(self.board.handle(read_frame(0x5000, 16))[0]), 25)
        self.board.faults = []
        self.inject("truncate 3")
        self.assertEqual(self.board.handle(read_frame(0x5000, 16))[0], b"\xAA\x00\x1A")

    def test_shifted_read_address(self):
        self.inject("shift -1")
        reply, _, _ = self.board.handle(read_frame(0x5062, 1))
        self.assertEqual(reply[7:9], b"\x50\x61")
        self.assertEqual(reply[9], 7)  # the data is still the requested register's
        self.board.faults = []
        self.inject("shift 2")
        self.assertEqual(self.board.handle(read_frame(0x5062, 1))[0][7:9], b"\x50\x64")

    def test_extra_bytes_follow_the_reply(self):
        self.inject("extra 3")
        reply, _, _ = self.board.handle(reset_frame())
        self.assertEqual(len(reply), 11)
        self.assertEqual(reply[:8], bs.make_frame(b"\xF0\x00\x00\x00"))

    def test_address_filter_matches_a_range_that_contains_it(self):
        self.inject("noreply addr=0x5062")
        self.assertIsNone(self.board.handle(read_frame(0x5060, 4))[0])
        self.assertIsNotNone(self.board.handle(read_frame(0x5063, 4))[0])
        self.assertIsNotNone(self.board.handle(reset_frame())[0])

    def test_count_limits_the_fault_and_faults_combine(self):
        self.inject("status 1 count=2")
        self.inject("delay 10 count=1")
        _, delay, names = self.board.handle(reset_frame())
        self.assertEqual((delay, names), (0.01, ["status:1", "delay:10"]))
        _, delay, names = self.board.handle(reset_frame())
        self.assertEqual((delay, names), (0.0, ["status:1"]))
        self.assertEqual(self.board.handle(reset_frame())[2], [])

    def test_exact_address_and_first_fault_of_a_kind(self):
        self.inject("noreply at=0x5062 count=1")
        self.inject("noreply count=1")
        # a read covering 0x5062 but starting elsewhere takes the general fault only
        self.assertIsNone(self.board.handle(read_frame(0x5060, 4))[0])
        self.assertIsNone(self.board.handle(read_frame(0x5062, 1))[0])
        self.assertIsNotNone(self.board.handle(read_frame(0x5062, 1))[0])

    def test_length_byte_off_by_any_delta_keeps_a_good_sum(self):
        for delta in (1, -2, 5):
            self.board.faults = []
            self.inject("badlen %d count=1" % delta)
            reply = self.board.handle(write_frame(0x5000, [1]))[0]
            self.assertEqual(reply[2], (8 + delta) & 0xFF)
            self.assertEqual(reply[-1], bs.checksum(reply[:-1]))

    def test_refused_and_lost_writes_are_stored_as_set(self):
        for setting, fault in (("store_refused", "status 1"), ("store_lost", "noreply")):
            for store in (True, False):
                self.board = bs.Board()
                setattr(self.board, setting, store)
                self.inject(fault + " count=1")
                self.board.handle(write_frame(0x5000, [0x42]))
                self.assertEqual(self.board.read(0x5000, 1) == b"\x42", store, (setting, store))

    def test_read_longer_than_a_frame_holds_is_ignored(self):
        self.assertIsNone(self.board.handle(read_frame(0x4000, 246))[0])
        self.assertIsNotNone(self.board.handle(read_frame(0x4000, 245))[0])

    def test_filler_profile_sets_fields_within_non_zero_bytes(self):
        self.board.profile = bs.filler_profile()
        self.board.reload()
        regs = self.board.registers
        self.assertEqual(regs[0x5062], 7)
        self.assertEqual(regs[0x506B] & 0x0F, 2)
        self.assertEqual((regs[0x5011] >> 3) & 3, 2)
        self.assertEqual(regs[0x5136] & 0x07, 1)
        self.assertEqual(((regs[0x5160] & 7) << 8) | regs[0x5161], 720)
        self.assertEqual(regs[0x4000], bs.FILLER)
        self.assertTrue(all(regs[a] for a in range(0x4000, 0x4085)))

    def test_bad_fault_lines_are_refused(self):
        for text in ["", "meltdown", "delay", "status op=read", "noreply op=erase", "noreply when=now"]:
            with self.assertRaises(ValueError, msg=text):
                bs.parse_fault(text.split())


class SimulatorOverPty(unittest.TestCase):
    """The whole simulator on a real pseudo-terminal, driven through its control file."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="board-sim-test.")
        self.master, slave = pty.openpty()
        self.slave_path = os.ttyname(slave)
        self.sim = bs.Simulator(bs.open_port(self.slave_path), self.dir)
        os.close(slave)
        self.thread = threading.Thread(target=self.sim.loop)
        self.thread.start()
        self.seq = 0

    def tearDown(self):
        self.sim.running = False
        self.thread.join(5)
        self.assertFalse(self.thread.is_alive())
        os.close(self.sim.fd)
        os.close(self.master)
        shutil.rmtree(self.dir)

    def control(self, line, expect="ok"):
        self.seq += 1
        with open(os.path.join(self.dir, "control"), "a") as f:
            f.write("%d %s\n" % (self.seq, line))
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                with open(os.path.join(self.dir, "ack")) as f:
                    words = f.read().split()
                if words and int(words[0]) == self.seq:
                    self.assertEqual(words[1], expect, line)
                    return
            except OSError:
                pass
            time.sleep(0.01)
        self.fail("no ack for %r" % line)

    def transfer(self, frame, expected, timeout=1.0):
        os.write(self.master, frame)
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < expected and time.monotonic() < deadline:
            r, _, _ = select.select([self.master], [], [], max(0, deadline - time.monotonic()))
            if r:
                got += os.read(self.master, 4096)
        return got

    def log_lines(self):
        with open(os.path.join(self.dir, "frames.log")) as f:
            return f.read().splitlines()

    def test_round_trip_and_log(self):
        self.assertEqual(self.transfer(write_frame(0x5034, [0] * 8), 8), bs.make_frame(b"\0\0\0\0"))
        reply = self.transfer(read_frame(0x5062, 1), 11)
        self.assertEqual(reply[9], 7)
        lines = self.log_lines()
        self.assertIn("RX frame op=write addr=5034 count=8 data=0000000000000000", lines[0])
        self.assertIn("TX frame op=write-reply status=0000", lines[1])
        self.assertIn("RX frame op=read addr=5062 count=1", lines[2])
        self.assertIn("TX frame op=read-reply status=0000 addr=5062 count=1", lines[3])

    def test_control_commands(self):
        self.control("poke 0x5062 0C")
        self.assertEqual(self.transfer(read_frame(0x5062, 1), 11)[9], 12)
        self.control("profile 0x5062 03")
        self.control("reload")
        self.assertEqual(self.transfer(read_frame(0x5062, 1), 11)[9], 3)
        self.control("fault noreply count=1")
        self.assertEqual(self.transfer(read_frame(0x5062, 1), 11, timeout=0.3), b"")
        self.control("dump")
        with open(os.path.join(self.dir, "registers.bin"), "rb") as f:
            regs = f.read()
        self.assertEqual((len(regs), regs[0x5062]), (0x10000, 3))
        self.control("clear-log")
        self.assertTrue(all("control" in l for l in self.log_lines()))
        self.control("reset-all")
        self.assertEqual(self.transfer(read_frame(0x5062, 1), 11)[9], 7)
        self.control("fault meltdown", expect="error")
        self.control("no-such-command", expect="error")

    def test_late_reply_arrives_after_its_delay(self):
        self.control("fault delay 300 count=1")
        start = time.monotonic()
        self.assertEqual(len(self.transfer(reset_frame(), 8, timeout=2)), 8)
        self.assertGreaterEqual(time.monotonic() - start, 0.28)

    def test_quit_ends_the_loop(self):
        self.control("quit")
        self.thread.join(5)
        self.assertFalse(self.thread.is_alive())


if __name__ == "__main__":
    unittest.main()
