// A small blocking WebSocket client for the bridge's tests and benchmark: it sends what it is
// told (any Host, any Origin or none, frames of any announced length), reads frames when asked
// and can stop reading, which no browser lets a test do.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

class WsClient {
public:
    // Sends the upgrade request; `status` is the HTTP status of the answer (101: open).
    // `rcvbuf` > 0: a small receive buffer, for a reader that is meant to fall behind.
    WsClient(unsigned port, const std::string& host, const std::string& origin,
             const std::string& path = "/bridge/v1", int rcvbuf = 0) {
        m_Fd = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf > 0) setsockopt(m_Fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        std::string req = "GET " + path + " HTTP/1.1\r\nHost: " + host +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
                          "dGhlIHNhbXBsZSBub25jZQ==\r\n";
        if (!origin.empty()) req += "Origin: " + origin + "\r\n";
        WriteAll(req + "\r\n");
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos && ReadSome(&head)) {
        }
        size_t end = head.find("\r\n\r\n");
        if (head.size() > 12) status = std::atoi(head.c_str() + 9);
        if (end != std::string::npos) m_In = head.substr(end + 4);
    }
    ~WsClient() { close(m_Fd); }
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // `declared`: a length to announce other than the payload's own.
    void SendFrame(int opcode, const std::string& payload, size_t declared = 0) {
        std::string f(1, static_cast<char>(0x80 | opcode));
        size_t n = declared != 0 ? declared : payload.size();
        if (n < 126) {
            f += static_cast<char>(0x80 | n);
        } else {
            int bytes = n < 65536 ? 2 : 8;  // the shortest form, as the protocol requires
            f += static_cast<char>(0x80 | (bytes == 2 ? 126 : 127));
            for (int i = bytes - 1; i >= 0; --i) f += static_cast<char>((n >> (8 * i)) & 0xff);
        }
        const char mask[4] = {1, 2, 3, 4};
        f.append(mask, 4);
        for (size_t i = 0; i < payload.size(); ++i)
            f += static_cast<char>(payload[i] ^ mask[i % 4]);
        WriteAll(f);
    }
    void Send(const std::string& text) { SendFrame(1, text); }

    // The next data frame's text; false at a close frame (closeCode), the end (ended) or a
    // timeout. Pings and pongs are skipped.
    bool ReadFrame(std::string* text, int timeoutMs) {
        for (;;) {
            if (!Need(2, timeoutMs)) return false;
            int opcode = m_In[0] & 0x0f;
            uint64_t n = m_In[1] & 0x7f;
            size_t at = 2;
            if (n >= 126) {
                size_t bytes = n == 126 ? 2 : 8;
                if (!Need(2 + bytes, timeoutMs)) return false;
                n = 0;
                for (size_t i = 0; i < bytes; ++i) n = n << 8 | static_cast<uint8_t>(m_In[2 + i]);
                at += bytes;
            }
            if (!Need(at + n, timeoutMs)) return false;
            *text = m_In.substr(at, n);
            m_In.erase(0, at + n);
            if (opcode == 8) {
                closeCode = text->size() >= 2 ? static_cast<uint8_t>((*text)[0]) << 8 |
                                                    static_cast<uint8_t>((*text)[1])
                                              : 1005;
                return false;
            }
            if (opcode == 1) return true;  // pings and pongs are skipped
        }
    }

    int status = 0, closeCode = 0;
    bool ended = false;  // the server closed the TCP connection

private:
    bool ReadSome(std::string* into, int timeoutMs = 20000) {
        pollfd p{m_Fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char buf[65536];
        ssize_t n = read(m_Fd, buf, sizeof buf);
        ended = n <= 0;
        if (n <= 0) return false;
        into->append(buf, static_cast<size_t>(n));
        return true;
    }
    bool Need(size_t n, int timeoutMs) {
        while (m_In.size() < n)
            if (!ReadSome(&m_In, timeoutMs)) return false;
        return true;
    }
    void WriteAll(const std::string& s) {
        for (size_t off = 0; off < s.size();) {
            ssize_t n = write(m_Fd, s.data() + off, s.size() - off);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }
    int m_Fd = -1;
    std::string m_In;
};
