// SPDX-License-Identifier: Apache-2.0
#pragma once

// A raw client over loopback: what no HTTP library would send, and answers
// read as they come, head and body, with nothing assumed of the server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace rawclient {

// A connection on loopback; `receiveBuffer` > 0 shrinks its receive window
// (it must be set before connecting to take).
inline int connectTo(int port, int receiveBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    // A server that neither answers nor closes fails the test instead of hanging it.
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

inline void sendAll(int fd, const std::string& bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return;  // the server closed: what it did not take it never read
        at += static_cast<std::size_t>(n);
    }
}

struct Answer {
    int status = 0;  // 0: none came
    std::string head, body;
};

inline std::string headerOf(const Answer& a, const std::string& name)
{
    std::string lowerHead = a.head;
    std::transform(lowerHead.begin(), lowerHead.end(), lowerHead.begin(), ::tolower);
    const std::size_t at = lowerHead.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return "";
    const std::size_t start = at + 4 + name.size();
    return a.head.substr(start, a.head.find("\r\n", start) - start);
}

// One answer: its head, and its body by Content-Length.
inline Answer readAnswer(int fd)
{
    Answer a;
    std::string bytes;
    char buffer[4096];
    while (bytes.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return a;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t end = bytes.find("\r\n\r\n");
    a.head = bytes.substr(0, end + 2);
    a.body = bytes.substr(end + 4);
    if (a.head.rfind("HTTP/1.1 ", 0) == 0)
        a.status = std::atoi(a.head.c_str() + 9);
    const std::size_t length = std::stoul("0" + headerOf(a, "content-length"));
    while (a.body.size() < length) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        a.body.append(buffer, static_cast<std::size_t>(n));
    }
    return a;
}

// After an answer: true when the server closed without sending another byte.
inline bool closedAfterwards(int fd)
{
    char c;
    return read(fd, &c, 1) == 0;
}

// `text` with every `name` in it replaced by `value`.
inline std::string fill(std::string text, const std::string& name, const std::string& value)
{
    for (std::size_t at; (at = text.find(name)) != std::string::npos;)
        text.replace(at, name.size(), value);
    return text;
}

}  // namespace rawclient
