"""The status round trip as a user would write it with pySerial instead of the library.

Usage: pyserial_peer.py PORT SAMPLES WARMUP
Prints the versions on a line starting with '#', then one round trip per line, in nanoseconds, after WARMUP unrecorded ones.
"""
import sys
import time

import serial


def main():
    path, samples, warmup = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    port = serial.Serial(path, 9600, timeout=1.0)
    clock = time.perf_counter_ns
    times = []
    for i in range(warmup + samples):
        start = clock()
        port.write(b"0gs")
        line = port.read_until(b"\r\n")
        end = clock()
        if line != b"0GS00\r\n":
            sys.exit("pyserial peer: unexpected reply %r" % line)
        if i >= warmup:
            times.append(end - start)
    port.close()
    sys.stdout.write("# Python %d.%d + pySerial %s\n" % (sys.version_info[0], sys.version_info[1],
                                                        serial.__version__))
    sys.stdout.write("".join("%d\n" % t for t in times))


if __name__ == "__main__":
    main()
