#pragma once

// Shared pieces of the fuzz targets: a Qt core application for the socket notifications, local
// socket pairs standing in for the network, and the fuzz input read as a script of peer actions.
// Nothing here opens an IP socket.
#include "framework/CString.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace fuzz {

// Whether text can be what one read of at most readBytes bytes turns into: valid UTF-8, and no
// more than the three bytes a character of a code page can take in UTF-8 for each byte read.
bool IsReadText(const CString& text, std::size_t readBytes);

// Once per process.
void StartApplication();

// Runs the event loop until done holds or a bounded number of rounds has passed.
void Pump(const std::function<bool()>& done, int rounds = 64);

// The far end of a local stream connection, played by the fuzz input.
class Peer
{
public:
    explicit Peer(int fd);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Sends the bytes in one write and runs the loop until the other end has read them all, or
    // has closed.
    void Send(const char* data, std::size_t length);
    // Reads and drops whatever arrived, so that the other end never blocks on a full buffer.
    void Drain();
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // True once the other end has closed.
    bool HasHungUp() const;

private:
    bool IsConsumed() const;
    int m_fd;
};

// A connected local stream pair: first goes to the object under test, second to the Peer.
std::pair<int, int> StreamPair();
// A listening local socket and a function that connects a new client to it.
struct LocalListener
{
    int fd = -1;
    std::function<int()> connect;
};
LocalListener MakeLocalListener();

// The input as a script: each step is an action byte, then for Send a two-byte length and
// that many bytes.
class Script
{
public:
    enum Action { Send, Close, UserA, UserB, UserC, ActionCount };
    struct Step
    {
        Action action;
        const char* data;
        std::size_t length;
    };

    Script(const std::uint8_t* data, std::size_t size);
    std::optional<Step> Next();

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// What a target does with the script's steps besides the peer's own Send and Close.
struct Player
{
    // The script goes on while this holds (by default, to its end).
    std::function<bool()> running;
    // After the peer's close, the loop runs until this holds.
    std::function<bool()> settled;
    // UserA, UserB and UserC.
    std::function<void(Script::Action)> user;
    // After every step: aborts on a broken invariant.
    std::function<void()> check;
};

// Plays the input as a script: the peer sends and closes, the player does the rest; whatever
// the object under test writes is drained after every step.
void Play(const std::uint8_t* data, std::size_t size, Peer& peer, const Player& player);

// A fresh directory under /tmp, removed with the object.
class ScratchDirectory
{
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace fuzz
