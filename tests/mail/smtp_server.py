#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) on a free loopback port for the mail tests.

Prints "PORT <n>" on standard output once it listens. Each accepted message is
written to OUT/msg-<k>.eml (the raw data as received, dot-unstuffed) and
OUT/msg-<k>.json (envelope, client port, size); OUT/log gets one line per
connection, command and close. Modes make it misbehave the ways a real
server can: refuse a recipient, refuse the data, fall silent, close the
connection in the middle of the data or when idle, offer STARTTLS (and
refuse it, or offer it only once), answer slowly, a byte at a time, or with
garbage.
"""
import argparse
import asyncio
import email
import email.header
import email.policy
import email.utils
import hashlib
import json
import os
import subprocess
import sys

from aiosmtpd.smtp import SMTP

parser = argparse.ArgumentParser()
parser.add_argument("out")
parser.add_argument("--reject-rcpt", default="", help="answer RCPT TO for this address with a two-line 550")
parser.add_argument("--reject-data", action="store_true", help="answer the end of the first message's data with 554")
parser.add_argument("--silent-data", action="store_true", help="never answer the end of the first message's data")
parser.add_argument("--close-in-data", type=int, default=0,
                    help="close the connection after this many bytes of the first message's data")
parser.add_argument("--store-first", action="store_true",
                    help="keep a message as soon as its data has ended, before any --slow eod or --silent-data wait, "
                         "as a real server keeps what it took even when the client hangs up before the reply")
parser.add_argument("--read-rate", type=int, default=0, metavar="BYTES",
                    help="take a message's data at most this many bytes a second, through small socket buffers")
parser.add_argument("--read-stall-after", type=int, default=0, metavar="BYTES",
                    help="with --read-rate: stop taking data after this many bytes, keeping the connection")
parser.add_argument("--idle-timeout", type=float, default=30, help="say 421 and close a session idle this long")
parser.add_argument("--tls", action="store_true", help="offer STARTTLS with a certificate made for 127.0.0.1 (OUT/cert.pem)")
parser.add_argument("--tls-once", action="store_true", help="offer STARTTLS on the first connection only")
parser.add_argument("--starttls-reply", default="", help="answer STARTTLS with this reply instead of starting TLS")
parser.add_argument("--slow", action="append", default=[], metavar="PHASE[#N]=SECONDS",
                    help="wait this long before answering the N-th (first) command of a phase: ehlo, mail, rcpt, "
                         "data, eod (the end of the data), quit, noop")
parser.add_argument("--trickle", default="", metavar="PHASE", help="answer the first command of a phase a byte a second")
parser.add_argument("--garbage", default="", metavar="PHASE", help="answer the first command of a phase with a line that is no reply")
parser.add_argument("--oversized", default="", metavar="PHASE", help="answer the first command of a phase with a 100 kB reply line")
args = parser.parse_args()
slow = {}
for rule in args.slow:
    phase, seconds = rule.split("=")
    name, _, nth = phase.partition("#")
    slow[(name, int(nth or 1))] = float(seconds)
seen = {}  # phase -> commands of that phase so far
os.makedirs(args.out, exist_ok=True)
count = 0
data_commands = 0  # the misbehaviour modes hit the first message only


async def misbehave(server, phase):
    """Answers as --slow, --trickle or --garbage ask; True when the command
    has been answered (or never will be) here."""
    seen[phase] = seen.get(phase, 0) + 1
    delay = slow.get((phase, seen[phase]))
    if delay:
        log("SLOW %s" % phase)
        await asyncio.sleep(delay)
    first = seen[phase] == 1
    if args.trickle == phase and first:
        log("TRICKLE %s" % phase)
        for byte in b"250 2.0.0 OK\r\n":
            server._writer.write(bytes([byte]))
            await server._writer.drain()
            await asyncio.sleep(1)
        return True
    if (args.garbage == phase or args.oversized == phase) and first:
        log("GARBAGE %s" % phase)
        server._writer.write(b"this is not SMTP\r\n" if args.garbage == phase else b"250 " + b"x" * 100000 + b"\r\n")
        await server._writer.drain()
        await asyncio.sleep(3600)
        return True
    return False


def log(line):
    with open(os.path.join(args.out, "log"), "a") as f:
        f.write(line + "\n")


def read_back(raw):
    """What a mail reader shows: decoded headers and body text (the body's
    SHA-256 alone for big messages)."""
    head, _, body = raw.partition(b"\r\n\r\n")
    result = {"body_sha256": hashlib.sha256(body).hexdigest()}
    if len(raw) > 1 << 20:
        return result
    message = email.message_from_bytes(raw, policy=email.policy.default)
    for name in ("To", "From", "CC", "Subject", "Content-Type", "Content-Transfer-Encoding", "Date", "Message-ID",
                 "MIME-Version", "X-Mailer", "References", "X-Note"):
        if message[name] is not None:
            result[name] = str(message[name])
    result["header_names"] = list(message.keys())
    result["charset"] = message.get_content_charset()
    # Display names through the RFC 2047 decoder of the legacy API: the newer
    # one puts a blank between adjacent encoded words, which RFC 2047 6.2 drops.
    legacy = email.message_from_bytes(raw, policy=email.policy.compat32)
    result["mailboxes"] = [[str(email.header.make_header(email.header.decode_header(name))), address]
                           for field in ("To", "From", "CC") if legacy[field]
                           for name, address in email.utils.getaddresses([legacy[field]])]
    payload = message.get_payload(decode=True)
    result["body"] = payload.decode(result["charset"] or "ascii", errors="replace")
    return result


class Handler:
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        log("EHLO %s" % hostname)
        session.host_name = hostname
        return responses

    async def handle_NOOP(self, server, session, envelope, arg):
        log("NOOP")
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        log("QUIT")
        return "221 Bye"

    async def handle_RSET(self, server, session, envelope):
        log("RSET")
        return "250 OK"

    async def handle_MAIL(self, server, session, envelope, address, options):
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        log("RCPT %s" % address)
        if address == args.reject_rcpt:
            return "550-5.1.1 Mailbox unknown\r\n550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        global data_commands
        data_commands += 1
        log("DATA %d" % len(envelope.original_content))
        if args.store_first:
            store(session, envelope)
        if await misbehave(server, "eod"):
            return "250 Message accepted"
        if args.silent_data and data_commands == 1:
            await asyncio.sleep(3600)
        if args.reject_data and data_commands == 1:
            return "554 5.6.0 Message refused"
        if not args.store_first:
            store(session, envelope)
        return "250 Message accepted"


def store(session, envelope):
        global count
        count += 1
        base = os.path.join(args.out, "msg-%d" % count)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".json", "w") as f:
            json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos, "options": envelope.mail_options,
                       "client_port": session.peer[1], "size": len(envelope.original_content),
                       "tls": session.ssl is not None, "reader": read_back(envelope.original_content)}, f)


connections = 0


class Server(SMTP):
    def connection_made(self, transport):
        global connections
        connections += 1
        log("CONNECT %d" % transport.get_extra_info("peername")[1])
        super().connection_made(transport)
        if args.tls_once and connections > 1 and transport.get_extra_info("sslcontext") is None:
            self.tls_context = None

    async def smtp_STARTTLS(self, arg):
        log("STARTTLS")
        if args.starttls_reply:
            return await self.push(args.starttls_reply)
        return await super().smtp_STARTTLS(arg)

    def _timeout_cb(self):
        log("IDLE TIMEOUT")
        self.transport.write(b"421 4.4.2 Idle too long, closing\r\n")
        super()._timeout_cb()

    def connection_lost(self, exc):
        log("CLOSE")
        super().connection_lost(exc)

    async def smtp_EHLO(self, arg):
        if not await misbehave(self, "ehlo"):
            await super().smtp_EHLO(arg)

    async def smtp_MAIL(self, arg):
        log("MAIL %s%s" % (arg, " (TLS)" if self.session.ssl else ""))
        if not await misbehave(self, "mail"):
            await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        if not await misbehave(self, "rcpt"):
            await super().smtp_RCPT(arg)

    async def smtp_NOOP(self, arg):
        if not await misbehave(self, "noop"):
            await super().smtp_NOOP(arg)

    async def smtp_QUIT(self, arg):
        if not await misbehave(self, "quit"):
            await super().smtp_QUIT(arg)

    async def smtp_DATA(self, arg):
        if await misbehave(self, "data"):
            return
        if args.read_rate and self.envelope.rcpt_tos:
            return await self.read_slowly()
        global data_commands
        if not args.close_in_data or not self.envelope.rcpt_tos or data_commands:
            return await super().smtp_DATA(arg)
        data_commands += 1
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        received = 0
        while received < args.close_in_data:
            chunk = await self._reader.read(65536)
            if not chunk:
                break
            received += len(chunk)
        log("CLOSED IN DATA")
        self.transport.close()

    async def read_slowly(self):
        """The data at --read-rate bytes a second, a tenth of that at a time;
        the socket's and the reader's buffers are small, so what the client
        sees taken is about what was read."""
        await self.push("354 End data with <CR><LF>.<CR><LF>")
        self._reader._limit = 1024
        data = b""
        while not data.endswith(b"\r\n.\r\n"):
            if args.read_stall_after and len(data) >= args.read_stall_after:
                log("STALLED IN DATA")
                await asyncio.sleep(3600)
            chunk = await self._reader.read(max(1, args.read_rate // 10))
            if not chunk:
                log("CLOSED IN DATA")
                return
            data += chunk
            await asyncio.sleep(0.1)
        content = data[:-3].replace(b"\r\n..", b"\r\n.")
        if content.startswith(b".."):
            content = content[1:]
        self.envelope.original_content = content
        log("DATA %d" % len(content))
        store(self.session, self.envelope)
        self._set_post_data_state()
        await self.push("250 Message accepted")


tls_context = None
if args.tls:
    import ssl
    cert, key = os.path.join(args.out, "cert.pem"), os.path.join(args.out, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls_context.load_cert_chain(cert, key)


async def main():
    loop = asyncio.get_running_loop()
    sock = None
    if args.read_rate:
        import socket
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # accepted sockets inherit it
        sock.bind(("127.0.0.1", 0))
    server = await loop.create_server(
        lambda: Server(Handler(), data_size_limit=0, tls_context=tls_context, timeout=args.idle_timeout),
        *(("127.0.0.1", 0) if sock is None else ()), sock=sock)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    # Runs until the test closes our standard input (or kills us).
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


asyncio.run(main())
