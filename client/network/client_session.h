#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct _ENetHost;
struct _ENetPeer;

namespace quavelink {

class StreamReceiver;

//! What the client asks of the server in its Data request.
struct StreamChoice {
    bool reliable = true;
    int rateCode = 0;  //!< 0 plain PCM; 1, 2, 3 Opus at 64, 128, 256 kbit/s
};

//! The connect value: protocol version 1, and the shared flag unless `shared` is false.
std::uint32_t clientConnectValue(bool shared);
//! The Data request for `choice` with the client's `name` (cut to 255 characters), as sent.
std::string dataRequestBytes(const StreamChoice& choice, const std::string& name);

//! One connection to a server over ENet. Every call on the network thread; audio goes to the
//! StreamReceiver given at construction, which must outlive the session.
class ClientSession {
  public:
    enum class State { Idle, Connecting, Connected, Ended };
    enum class EndReason {
        None,
        Replaced,    //!< the server sent disconnect value 101
        Closed,      //!< the server disconnected with another value
        TimedOut,    //!< the connection stopped answering
        NoAnswer,    //!< the server never answered the connect
        LocalClose,  //!< this client said goodbye
        Failed,      //!< the connection could not even be attempted
    };

    explicit ClientSession(StreamReceiver& receiver);
    ~ClientSession();
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    //! Starts connecting to `host`:`port` (a name or a dotted address). On success the session is
    //! Connecting, and becomes Connected (and sends the Data request) inside `service`. False
    //! with `error` set when no attempt could be made.
    bool connect(const std::string& host, std::uint16_t port, bool shared, const std::string& name,
                 const StreamChoice& choice, std::string& error);

    //! Handles the network events waiting now, waiting at most `timeoutMs` for the first (and
    //! simply waiting that long when there is no connection).
    void service(int timeoutMs);

    //! Changes the Data request; sent at once when connected, else with the next connect.
    void setChoice(const StreamChoice& choice);
    const StreamChoice& choice() const { return current; }

    //! Says goodbye and waits up to `waitMs` for the server to acknowledge it.
    void close(int waitMs = 300);

    State state() const { return status; }
    EndReason endReason() const { return reason; }
    std::optional<std::uint32_t> disconnectValue() const { return disconnectData; }
    //! "host:port" of the server.
    const std::string& serverText() const { return server; }
    //! ENet's smoothed round trip, in milliseconds; 0 when not connected.
    int roundTripMs() const;
    //! A sentence saying why the session ended.
    std::string describeEnd() const;

  private:
    void sendDataRequest();
    void destroyHost();

    StreamReceiver& receiver;
    _ENetHost* host = nullptr;
    _ENetPeer* peer = nullptr;
    State status = State::Idle;
    EndReason reason = EndReason::None;
    std::optional<std::uint32_t> disconnectData;
    std::string server;
    std::string clientName;
    StreamChoice current;
    bool networkInitialized = false;
};

}  // namespace quavelink
