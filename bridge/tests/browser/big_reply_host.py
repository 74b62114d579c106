#!/usr/bin/python3
"""A native host that answers its first message with 2 MiB, over the browsers' limit."""
import json
import struct
import sys

length = struct.unpack("=I", sys.stdin.buffer.read(4))[0]
sys.stdin.buffer.read(length)
body = json.dumps({"id": 1, "result": "x" * (2 * 1024 * 1024)}).encode()
sys.stdout.buffer.write(struct.pack("=I", len(body)) + body)
sys.stdout.buffer.flush()
sys.stdin.buffer.read()
