#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws I2C transactions recorded by board-sim as an SVG picture.

Each panel shows SCL and SDA from one VCD file (wires scl, sda, sda_dir,
sda_dev, one time step per GPIO write), SDA coloured by who drives it (the
master, the device pulling it low, or nobody: the pull-up), and labels taken
from sigrok-cli's I2C decoder (its annotations with their sample numbers):
START, STOP, each bit, the address and data bytes and their ACK/NACK.

    board-sim i2c --device-byte 0xa5 --vcd read.vcd read
    board-sim i2c --vcd write.vcd write 200
    scripts/waveform_svg.py -o docs/i2c-transactions.svg \\
        --panel "Read: the device answers 0xA5" read.vcd \\
        --panel "Write: 200, masked to 72 (0x48)" write.vcd

`board-sim i2c --svg FILE` draws one panel with it. Needs sigrok-cli on the
PATH; otherwise the Python standard library only.
"""

import argparse
import subprocess
import sys
from xml.sax.saxutils import escape

STEP = 13          # pixels per time step (one GPIO write)
LEFT = 92          # room for the row names
RIGHT = 24
ROW_HIGH = 26      # height of a trace from low to high
COLOURS = {"master": "#1f5fbf", "device": "#d9480f", "pull-up": "#8a8a8a"}


def parse_vcd(text):
    """Returns (wire names, initial levels, [(time, {wire: level})], end time)."""
    codes, initial, changes = {}, {}, []
    time, end, in_dumpvars = 0, 0, False
    for raw in text.splitlines():
        line = raw.strip()
        if line.startswith("$var"):
            parts = line.split()
            codes[parts[3]] = parts[4]
        elif line.startswith("$dumpvars"):
            in_dumpvars = True
        elif line.startswith("$end") and in_dumpvars:
            in_dumpvars = False
        elif line.startswith("#"):
            time = int(line[1:])
            end = max(end, time)
        elif line[:1] in ("0", "1") and line[1:] in codes:
            name, level = codes[line[1:]], int(line[0])
            if in_dumpvars or (time == 0 and name not in initial):
                initial[name] = level
            elif changes and changes[-1][0] == time:
                changes[-1][1][name] = level
            else:
                changes.append((time, {name: level}))
    for wire in ("scl", "sda"):
        if wire not in initial:
            raise ValueError("the waveform has no '%s' wire" % wire)
    initial.setdefault("sda_dir", 0)
    initial.setdefault("sda_dev", 0)
    return initial, changes, end


def steps(initial, changes, end):
    """The levels of every wire over [start, stop) intervals."""
    levels = dict(initial)
    out, start = [], 0
    for time, update in changes:
        if time > start:
            out.append((start, time, dict(levels)))
        levels.update(update)
        start = time
    out.append((start, end, dict(levels)))
    return out


SIGROK = "sigrok-cli"
ANNOTATIONS = "i2c=start:repeat-start:stop:ack:nack:bit:address-read:address-write:data-read:data-write"


def decode(path):
    """Bus events from sigrok-cli's I2C decoder, in the form the drawing uses:
    ('start'|'stop', t), ('bit', t, level), ('ack', t, level) and
    ('byte', t_first, t_last, label). Times are sample numbers, which for a
    VCD file are its time steps."""
    command = [SIGROK, "-I", "vcd", "-i", path, "-P", "i2c:scl=scl:sda=sda", "-A", ANNOTATIONS,
               "--protocol-decoder-samplenum"]
    try:
        done = subprocess.run(command, capture_output=True, text=True, check=False)
    except OSError as e:
        raise ValueError("cannot run %s: %s" % (SIGROK, e))
    if done.returncode != 0:
        raise ValueError("%s failed on %s: %s" % (SIGROK, path, (done.stderr or done.stdout).strip()))
    events = []
    for line in done.stdout.splitlines():
        span, _, rest = line.partition(" ")
        first, _, last = span.partition("-")
        if not first.isdigit() or not last.isdigit() or not rest.startswith("i2c-1: "):
            continue
        first, last, text = int(first), int(last), rest[len("i2c-1: "):]
        name, _, value = text.partition(": ")
        if name in ("Start", "Start repeat"):
            events.append(("start", first))
        elif name == "Stop":
            events.append(("stop", first))
        elif name in ("ACK", "NACK"):
            events.append(("ack", first, 0 if name == "ACK" else 1))
        elif name in ("0", "1"):
            events.append(("bit", first, int(name)))
        elif name.startswith("Address ") and value:
            address, reading = int(value, 16), name == "Address read"
            events.append(("byte", first, last, "address byte 0x%02X: 0x%02X %s" % (
                address << 1 | reading, address, "read" if reading else "write")))
        elif name.startswith("Data ") and value:
            events.append(("byte", first, last, "data 0x%s (%d)" % (value, int(value, 16))))
    return events


def driver(levels):
    if levels.get("sda_dev"):
        return "device"
    if levels.get("sda_dir"):
        return "master"
    return "pull-up"


def x_of(t):
    return LEFT + t * STEP


def trace(intervals, wire, y_low, colour_of=None):
    """SVG path elements for one wire: a step line, coloured per interval."""
    parts = []
    previous_y = None
    for start, stop, levels in intervals:
        y = y_low - ROW_HIGH * levels[wire]
        colour = colour_of(levels) if colour_of else "#222"
        d = "M%d %d H%d" % (x_of(start), y, x_of(stop))
        if previous_y is not None and previous_y != y:
            d = "M%d %d V%d H%d" % (x_of(start), previous_y, y, x_of(stop))
        dash = ' stroke-dasharray="4 3"' if colour == COLOURS["pull-up"] else ""
        parts.append('<path d="%s" stroke="%s" stroke-width="2" fill="none"%s/>' % (d, colour, dash))
        previous_y = y
    return parts


def text(x, y, content, size=11, anchor="middle", colour="#222", weight="normal"):
    return '<text x="%d" y="%d" font-size="%d" text-anchor="%s" fill="%s" font-weight="%s">%s</text>' % (
        x, y, size, anchor, colour, weight, escape(content))


def panel(title, vcd_text, events, top):
    """SVG elements of one panel starting at y = top, and the panel's height and width."""
    initial, changes, end = parse_vcd(vcd_text)
    intervals = steps(initial, changes, end)

    bytes_y = top + 40      # byte labels
    scl_low = top + 84
    bits_y = top + 104
    sda_low = top + 140
    conditions_y = top + 156
    axis_y = top + 176
    out = [text(LEFT - 80, top + 18, title, size=14, anchor="start", weight="bold")]
    out.append(text(LEFT - 12, scl_low - 8, "SCL gpio19", anchor="end"))
    out.append(text(LEFT - 12, sda_low - 8, "SDA gpio23", anchor="end"))
    out += trace(intervals, "scl", scl_low)
    out += trace(intervals, "sda", sda_low, lambda levels: COLOURS[driver(levels)])

    for event in events:
        kind = event[0]
        if kind in ("start", "stop"):
            x = x_of(event[1])
            out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#2b8a3e" stroke-width="1" '
                       'stroke-dasharray="2 2"/>' % (x, scl_low - ROW_HIGH - 4, x, conditions_y - 10))
            out.append(text(x, conditions_y, "START" if kind == "start" else "STOP", size=10, colour="#2b8a3e",
                            weight="bold"))
        elif kind == "bit":
            out.append(text(x_of(event[1]), bits_y, str(event[2]), size=10, colour="#555"))
        elif kind == "ack":
            acked = event[2] == 0
            out.append(text(x_of(event[1]), bits_y, "A" if acked else "N", size=10,
                            colour="#2b8a3e" if acked else "#c92a2a", weight="bold"))
            out.append(text(x_of(event[1]), bytes_y, "ACK" if acked else "NACK", size=10,
                            colour="#2b8a3e" if acked else "#c92a2a", weight="bold"))
        elif kind == "byte":
            first, last, label = event[1], event[2], event[3]
            x1, x2 = x_of(first) - 4, x_of(last) + 4
            out.append('<path d="M%d %d V%d H%d V%d" stroke="#555" fill="none"/>' % (
                x1, bytes_y + 10, bytes_y + 6, x2, bytes_y + 10))
            out.append(text((x1 + x2) // 2, bytes_y, label, size=11))

    # Before the first START the driver makes both lines outputs ("out" drives
    # them low) and then sets them high: the bus idle.
    first_start = next((e[1] for e in events if e[0] == "start"), None)
    if first_start:
        out.append(text((x_of(0) + x_of(first_start)) // 2, conditions_y, "set-up", size=9, colour="#777"))

    for t in range(0, end + 1, 10):
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#bbb"/>' % (x_of(t), axis_y - 4, x_of(t), axis_y))
        out.append(text(x_of(t), axis_y + 12, str(t), size=9, colour="#777"))
    out.append(text(LEFT - 12, axis_y + 12, "GPIO write", size=9, anchor="end", colour="#777"))
    return out, axis_y + 24 - top, x_of(end) + RIGHT


def legend(top):
    out, x = [], LEFT
    out.append(text(LEFT - 12, top + 4, "SDA driven by", size=10, anchor="end", colour="#555"))
    for name, label in (("master", "the master (i2c-bitbang)"), ("device", "the device, pulling low"),
                        ("pull-up", "nobody: pull-up")):
        dash = ' stroke-dasharray="4 3"' if name == "pull-up" else ""
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="%s" stroke-width="2"%s/>' % (
            x, top, x + 24, top, COLOURS[name], dash))
        out.append(text(x + 30, top + 4, label, size=10, anchor="start", colour="#555"))
        x += 40 + 7 * len(label)
    return out, 20


def render(panels):
    body, y, width = [], 10, 0
    for title, vcd_text, events in panels:
        elements, height, panel_width = panel(title, vcd_text, events, y)
        body += elements
        y += height + 16
        width = max(width, panel_width)
    elements, height = legend(y + 4)
    body += elements
    y += height + 8
    width = max(width, 720)
    head = ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
            'font-family="DejaVu Sans, Arial, sans-serif">\n<rect width="100%%" height="100%%" fill="white"/>\n'
            % (width, y, width, y))
    return head + "\n".join(body) + "\n</svg>\n"


def main(argv):
    parser = argparse.ArgumentParser(description="Draw I2C transactions recorded by board-sim as SVG.")
    parser.add_argument("-o", "--output", required=True, help="SVG file to write")
    parser.add_argument("--panel", nargs=2, action="append", metavar=("TITLE", "VCD"), required=True,
                        help="one panel: its title and the VCD file to draw (repeatable)")
    args = parser.parse_args(argv)
    panels = []
    for title, path in args.panel:
        try:
            with open(path, encoding="ascii") as f:
                panels.append((title, f.read(), decode(path)))
        except (OSError, UnicodeDecodeError) as e:
            parser.exit(1, "waveform_svg: %s: %s\n" % (path, e))
        except ValueError as e:
            parser.exit(1, "waveform_svg: %s\n" % e)
    try:
        svg = render(panels)
    except ValueError as e:
        parser.exit(1, "waveform_svg: %s\n" % e)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(svg)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
