#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes seeds for http_fuzz into the folder given: request heads (without
their closing blank line) as the tuning page sends them, and as broken ones
come."""
import os
import sys

HOST = "Host: 127.0.0.1:8123"
TOKEN = "X-Veilcast-Token: " + "0123456789abcdef" * 4
SEEDS = [
    "GET / HTTP/1.1\r\n" + HOST,
    "GET /?token=abc HTTP/1.1\r\n" + HOST + "\r\nConnection: keep-alive",
    "GET /api/image?view=matte&fit=640,360&region=0,0,64,40&bg=0.5%2C0.5%2C0.5 HTTP/1.1\r\n" + HOST + "\r\n" + TOKEN,
    "GET /api/probe?x=1&y=2 HTTP/1.1\r\n" + HOST + "\r\n" + TOKEN + "\r\nAccept: */*",
    "POST /api/control HTTP/1.1\r\n" + HOST + "\r\n" + TOKEN + "\r\nOrigin: http://127.0.0.1:8123\r\n"
    "Content-Type: application/json\r\nContent-Length: 36",
    "POST /api/undo HTTP/1.0\r\n" + HOST + "\r\nContent-Length: 2\r\nConnection: close",
    "POST /api/save HTTP/1.1\r\n" + HOST + "\r\nTransfer-Encoding: chunked",
    "GET /api/state HTTP/1.1\r\n" + HOST + "\r\nX-A: 1\r\n folded",
    "GET /%zz?a=%4 HTTP/1.1\r\n" + HOST + "\r\nHost: other",
    "GET /api/state HTTP/9.9\r\nContent-Length: -2",
    "HELLO",
]

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for i, seed in enumerate(SEEDS):
    with open(os.path.join(out, "seed-%02d" % i), "wb") as f:
        f.write(seed.encode())
