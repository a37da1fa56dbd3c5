# The paced flood: listens on a loopback port (printed first), and sends the
# one client that connects 8 KiB of 80-column lines every 100 ms, COUNT chunks
# in all, then closes. Prints "start" when the client has connected and
# "done" when the last chunk has gone.
# Usage: python3 flood-feeder.py [COUNT]
import socket
import sys
import time

count = int(sys.argv[1]) if len(sys.argv) > 1 else 1024
line = bytes(33 + (i * 7) % 94 for i in range(80)) + b"\r\n"
stream = line * (8192 * count // len(line) + 1)

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
print(listener.getsockname()[1], flush=True)
peer, _ = listener.accept()
print("start", flush=True)
time.sleep(0.5)  # the client's own start-up behind it
start = time.monotonic()
for i in range(count):
    peer.sendall(stream[i * 8192:(i + 1) * 8192])
    # On a fixed schedule, so that a slow reader does not stretch the pace.
    time.sleep(max(0.0, start + (i + 1) * 0.1 - time.monotonic()))
print("done", flush=True)
time.sleep(1)
peer.close()
