#pragma once

#include "server/storefront/httphead.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The store front's connections, to its clients and to the store, and the answers it writes. A
// connection belongs to the one thread that serves it.
namespace storefront {

constexpr size_t kRelayBlock = 256 * 1024;

// Sends all of `data` on a blocking socket; false once the peer is gone or the send times out.
bool sendAll(int fd, const char *data, size_t size);
// For the log: what a client sent, without control characters and not too long.
std::string printable(const std::string &text);
std::string requestId();
// The store's error document.
std::string errorDocument(const std::string &code, const std::string &message, const std::string &id);
const char *reason(int status);
bool isForwardedHeader(const std::string &name);
bool isHopHeader(const std::string &name);

// A socket whose bytes read past the current head are kept for the body and what follows it.
class BufferedSocket
{
public:
    explicit BufferedSocket(int fd) : fd_(fd) {}

    // Up to `size` body bytes; 0 when the peer closed, -1 on an error.
    ssize_t read(char *out, size_t size);
    bool write(const char *data, size_t size) { return sendAll(fd_, data, size); }
    bool write(const std::string &text) { return write(text.data(), text.size()); }

protected:
    enum class Head
    {
        Read,
        TooLong,
        Closed
    };
    // Takes the text before the next blank line.
    Head takeHead(std::string *text);

    int fd_;

private:
    std::string buffer_;
};

// One request to the store on a connection of its own, closed after the answer.
class Upstream : public BufferedSocket
{
public:
    Upstream() : BufferedSocket(-1) {}
    ~Upstream();

    bool connect(const std::string &host, int port, int timeoutSeconds);
    // Reads the answer's status line and headers; the body's first bytes stay buffered.
    bool readHead(int *status, std::vector<std::pair<std::string, std::string>> *headers, int64_t *length);
};

// A client's connection, read request after request.
class Client : public BufferedSocket
{
public:
    explicit Client(int fd) : BufferedSocket(fd) {}

    // The next request's head. False at the end of the connection or on an error; `why` is set
    // when the client sent something that is not a request.
    bool readHead(RequestHead *head, std::string *why);
    // Reads and drops `size` body bytes.
    bool skip(int64_t size);
};

// Writes an answer with a small body; false when the client is gone.
bool answer(Client &client, int status, const std::vector<std::pair<std::string, std::string>> &headers,
            const std::string &body, bool head, bool close);
bool answerError(Client &client, int status, const std::string &code, const std::string &message, bool head,
                 bool close);

} // namespace storefront
