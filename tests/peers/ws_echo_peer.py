#!/usr/bin/python3
"""A WebSocket server on 127.0.0.1 built on the `websockets` package, used as an
independent peer by the transport tests.

Prints "port N" once it listens (N chosen by the system), then one line per
connection event on stdout. Text messages from the client are commands:
  echo:TEXT   send TEXT back
  ping:DATA   ping with DATA, wait for the matching pong, then send "pong-ok:DATA"
  close       close the connection with 1000 "bye"
When a connection ends it prints "closed CODE REASON" (what the client sent).
The process ends by itself after LIFETIME seconds (first argument, default 60).
"""
import asyncio
import sys

import websockets


async def handler(ws):
    print("open " + ws.path, flush=True)
    try:
        async for message in ws:
            if isinstance(message, bytes):
                await ws.send(message)
            elif message.startswith("echo:"):
                await ws.send(message[5:])
            elif message.startswith("ping:"):
                data = message[5:]
                pong = await ws.ping(data.encode())
                await asyncio.wait_for(pong, 5)
                await ws.send("pong-ok:" + data)
            elif message == "close":
                await ws.close(1000, "bye")
    except websockets.ConnectionClosed:
        pass
    print(f"closed {ws.close_code} {ws.close_reason}", flush=True)


async def main():
    lifetime = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    async with websockets.serve(handler, "127.0.0.1", 0, ping_interval=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"port {port}", flush=True)
        await asyncio.sleep(lifetime)


if __name__ == "__main__":
    asyncio.run(main())
