#!/usr/bin/env python3
# A core stand-in for parentsim's test: sends one reply longer than a line on the link parentsim
# hands it (its first argument), then ends at the first packet back (parentsim's stop).
import socket
import sys

link = socket.socket(fileno=int(sys.argv[1]))
link.send(b"recorder:" + b"".join(b" camera%02d: 250 video frames;" % n for n in range(16)) + b" end")
link.recv(65536)
