// The part of the browser's WebSocket that gxemp.js uses, over node:net, for the tests: Node's
// own WebSocket is not there in every Node that Debian ships. The class returned sends `origin`
// as the Origin header (none when empty), as a page of that origin would.
import net from 'node:net';
import crypto from 'node:crypto';

export function webSocketFrom(origin, sockets = []) {
  return class TestWebSocket {
    constructor(url) {
      const u = new URL(url);
      this.onmessage = null;
      this.onclose = null;
      this._in = Buffer.alloc(0);
      this._open = false;
      this._closed = false;
      this.socket = net.connect(Number(u.port), u.hostname);
      sockets.push(this);
      const key = crypto.randomBytes(16).toString('base64');
      this.socket.on('connect', () => {
        this.socket.write(
          `GET ${u.pathname} HTTP/1.1\r\nHost: ${u.host}\r\nUpgrade: websocket\r\n` +
            `Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: ${key}\r\n` +
            (origin ? `Origin: ${origin}\r\n` : '') + '\r\n');
      });
      this.socket.on('data', (d) => this._data(d));
      this.socket.on('error', () => {});
      this.socket.on('close', () => this._finish(1006, ''));
    }

    send(text) {
      this._frame(1, Buffer.from(text));
    }

    close(code = 1000) {
      const b = Buffer.alloc(2);
      b.writeUInt16BE(code);
      this._frame(8, b);
      this.socket.end();
    }

    _frame(opcode, payload) {
      const n = payload.length;
      const head = n < 126 ? Buffer.from([0x80 | opcode, 0x80 | n])
        : Buffer.from([0x80 | opcode, 0x80 | 126, n >> 8, n & 255]);
      const mask = crypto.randomBytes(4);
      const body = Buffer.from(payload.map((b, i) => b ^ mask[i % 4]));
      this.socket.write(Buffer.concat([head, mask, body]));
    }

    _finish(code, reason) {
      if (this._closed) return;
      this._closed = true;
      this.socket.destroy();
      this.onclose?.({ code, reason });
    }

    _data(d) {
      this._in = Buffer.concat([this._in, d]);
      if (!this._open) {
        const end = this._in.indexOf('\r\n\r\n');
        if (end < 0) return;
        if (!this._in.subarray(0, end).toString().startsWith('HTTP/1.1 101')) {
          return this._finish(1006, '');  // as a browser reports a refused handshake
        }
        this._open = true;
        this._in = this._in.subarray(end + 4);
      }
      for (;;) {
        if (this._in.length < 2) return;
        const opcode = this._in[0] & 15;
        let n = this._in[1] & 127, at = 2;
        if (n === 126) { if (this._in.length < 4) return; n = this._in.readUInt16BE(2); at = 4; }
        else if (n === 127) { if (this._in.length < 10) return; n = Number(this._in.readBigUInt64BE(2)); at = 10; }
        if (this._in.length < at + n) return;
        const payload = this._in.subarray(at, at + n);
        this._in = this._in.subarray(at + n);
        if (opcode === 1) this.onmessage?.({ data: payload.toString() });
        else if (opcode === 9) this._frame(10, payload);
        else if (opcode === 8) {
          return this._finish(payload.length >= 2 ? payload.readUInt16BE(0) : 1005,
            payload.subarray(2).toString());
        }
      }
    }
  };
}
