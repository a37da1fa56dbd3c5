# A loopback listener whose accept queue is full, so that the kernel drops
# every further SYN to it, as a firewall that drops packets would. Prints its
# port, then holds the queue until it is killed (or for a minute).
import socket
import time

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(0)
port = listener.getsockname()[1]
fillers = []
for _ in range(4):
    s = socket.socket()
    s.setblocking(False)
    try:
        s.connect(("127.0.0.1", port))
    except BlockingIOError:
        pass
    fillers.append(s)
time.sleep(0.2)
print(port, flush=True)
time.sleep(60)
