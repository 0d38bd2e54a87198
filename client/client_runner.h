#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/client_options.h"
#include "client/line_writer.h"
#include "client/network/client_session.h"
#include "client/network/discovery_query.h"
#include "client/output/audio_output.h"
#include "client/status_line.h"
#include "client/wav_recorder.h"

namespace quavelink {

class Player;
class Playout;
class StreamReceiver;

//! The program's exit codes.
enum ClientExitCode : int {
    kClientExitOk = 0,
    kClientExitUsage = 1,
    kClientExitNoServer = 2,  //!< none found, none reached, or the connection ended for good
    kClientExitReplaced = 3,  //!< a newer client took this one's place
};

//! The connection to a server as the runner drives it: ClientSession in the program.
class ServerLink {
  public:
    virtual ~ServerLink() = default;
    //! As ClientSession::connect.
    virtual bool connect(const std::string& host, std::uint16_t port, bool shared,
                         const std::string& name, const StreamChoice& choice,
                         std::string& error) = 0;
    //! Handles what the network brought, waiting at most `timeoutMs`; this paces the runner.
    virtual void service(int timeoutMs) = 0;
    virtual void setChoice(const StreamChoice& choice) = 0;
    virtual const StreamChoice& choice() const = 0;
    //! Says goodbye.
    virtual void close() = 0;
    virtual ClientSession::State state() const = 0;
    virtual ClientSession::EndReason endReason() const = 0;
    virtual std::optional<std::uint32_t> disconnectValue() const = 0;
    virtual const std::string& serverText() const = 0;
    virtual int roundTripMs() const = 0;
    virtual std::string describeEnd() const = 0;
};

//! Keys the user types, one character each.
class KeySource {
  public:
    virtual ~KeySource() = default;
    //! The keys typed since the last call; never blocks.
    virtual std::string take() = 0;
    //! False once no key can come any more.
    virtual bool open() const = 0;
};

//! What the runner takes from the system; the program's come from systemClientParts.
struct ClientRunnerParts {
    //! Milliseconds on a steady clock.
    std::function<std::int64_t()> nowMs;
    //! A connection that hands every message it receives to `receiver`.
    std::function<std::unique_ptr<ServerLink>(StreamReceiver& receiver)> makeLink;
    //! Asks the network for servers; false with `error` when no query could be sent.
    std::function<bool(const ClientOptions& options, std::vector<FoundServer>& found,
                       std::string& error)>
        findServers;
    //! The playback stream (opened only when playing).
    std::function<std::unique_ptr<AudioOutput>(const ClientOptions& options)> makeOutput;
    //! The key reader, made once the stream is about to start.
    std::function<std::unique_ptr<KeySource>(bool enabled)> makeKeys;
    //! The name this machine goes by.
    std::function<std::string()> hostName;
    //! Raises the calling thread's priority for the network loop (and the threads it starts).
    std::function<void()> raisePriority;
    //! Set by a quit signal; read once per round of the loop.
    const std::atomic<bool>* quit = nullptr;
    std::FILE* out = stdout;  //!< usage, server lists, event, status and summary lines
    std::FILE* err = stderr;  //!< lines for people and errors
    //! Whether the people's status line may redraw itself (the error stream is a terminal).
    bool statusOnTerminal = false;
};

//! The client program after its command line has been read: prints help, version or the server
//! list, or finds a server, connects, plays and/or records what it sends, follows the user's
//! keys, reconnects when asked, and ends with an exit code. Single thread (the network thread);
//! the playback thread is the Player's, and what could make the network thread wait (writing
//! lines to a reader who does not read, a WAV file to a slow disk) runs on threads of its own.
class ClientRunner {
  public:
    ClientRunner(ClientOptions options, ClientRunnerParts parts);
    ~ClientRunner();
    ClientRunner(const ClientRunner&) = delete;
    ClientRunner& operator=(const ClientRunner&) = delete;

    //! Runs the action of the options to its end; returns the exit code.
    int run();

    //! The pause between a lost or failed connection and the next try with --reconnect.
    static constexpr int kReconnectPauseMs = 1000;
    static constexpr int kStatusIntervalMs = 500;
    static constexpr int kMachineStatusIntervalMs = 1000;

  private:
    int listServers();
    bool findHost();
    int stream();
    void connectIfDue();
    //! False when the loop is to end with `exitCode`.
    bool followSession(ClientSession::State before);
    void waitForKeyOrEnd(int endCode);
    void handleKeys();
    void showStatus();
    StatusFigures figures();
    void takeAudio(const std::int16_t* samples, std::size_t frames, int rate);
    void printSummary();

    void event(const std::string& kind, const std::string& fields, const std::string& text);
    void error(const std::string& text);
    void clearStatus();
    void writeLine(std::FILE* stream, std::string text);

    ClientOptions options;
    ClientRunnerParts parts;
    bool statusShown = false;

    std::unique_ptr<Playout> playout;
    std::unique_ptr<StreamReceiver> receiver;
    std::unique_ptr<Player> player;
    std::unique_ptr<ServerLink> link;
    std::unique_ptr<KeySource> keys;
    std::unique_ptr<LineWriter> lines;
    std::unique_ptr<WavRecorder> wav;
    double secondsReceived = 0;

    StreamChoice choice;
    RateMeter rateMeter;
    double kbps = 0;
    int exitCode = kClientExitOk;
    bool quitByKey = false;
    bool connecting = true;
    bool waitingForKey = false;
    std::int64_t reconnectAt = 0;
    std::int64_t nextStatus = 0;
    std::int64_t nextMachineStatus = 0;
};

}  // namespace quavelink
