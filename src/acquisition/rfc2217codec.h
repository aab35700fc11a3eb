// SPDX-License-Identifier: MIT
// The telnet layer of an rfc2217:// port, as a pure function of the bytes: server bytes in, the
// board's data bytes and the answers owed to the server out. It asks for binary transfer both
// ways, no go-ahead and the com port option, and sets the board's line settings on the far port.
// A server it cannot trust (one that refuses binary transfer, never ends a subnegotiation or
// keeps switching an option) ends it with a reason; whatever came after is not read.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

class Rfc2217Codec {
public:
    // Telnet bytes.
    enum : uint8_t {
        IAC = 255,
        DONT = 254,
        DO = 253,
        WONT = 252,
        WILL = 251,
        SB = 250,
        SE = 240,
    };
    // Telnet options.
    enum : uint8_t { Binary = 0, SuppressGoAhead = 3, ComPortOption = 44 };
    // Com port commands from the client; the server answers each with the code + 100.
    enum : uint8_t {
        SetBaudRate = 1,
        SetDataSize = 2,
        SetParity = 3,
        SetStopSize = 4,
        SetControl = 5,
        ServerOffset = 100,
    };
    // The values the board's line wants.
    enum : uint8_t { DataSizeEight = 8, ParityNone = 1, StopBitsOne = 1, ControlHardwareFlow = 3 };

    // A subnegotiation longer than this (any com port answer, a server's signature included, is
    // far shorter) is a server that lost its framing: everything after it would be swallowed.
    static constexpr int kLongestSubnegotiation = 512;
    // Answers the codec gives about one option before it calls the negotiation a loop: answers go
    // only to changes of state, and an honest server changes an option once or twice.
    static constexpr int kMostAnswersPerOption = 8;

    // What the server confirmed of the line settings; 0 until it said so (see isConfirmed).
    struct PortSettings {
        uint32_t baudRate = 0;
        uint8_t dataSize = 0;
        uint8_t parity = 0;
        uint8_t stopSize = 0;
        uint8_t control = 0;
    };

    // The client's opening: its option offers. The line settings for `baudRate` follow in a reply
    // once the server takes up the com port option.
    QByteArray opening(uint32_t baudRate);
    // A request the server must answer (it asks for the current rate): a sign of life.
    static QByteArray baudRateQuery();

    // Takes bytes as they came from the server, in pieces of any size: a command split across
    // reads is finished by the next one. Data bytes are appended to `data` (IAC IAC as one 0xFF),
    // answers to the server's requests to `reply`.
    void receive(const char *bytes, int length, QByteArray &data, QByteArray &reply);

    // The server agreed to the com port option (it sent WILL or DO COM-PORT-OPTION).
    bool comPortAccepted() const { return comPortAgreed; }
    // The server refused it (WONT or DONT): a telnet server that is no serial port server.
    bool comPortRefused() const { return comPortDenied; }
    // The server has answered at least one com port command.
    bool settingsAnswered() const { return answers > 0; }
    uint64_t answerCount() const { return answers; }
    const PortSettings &confirmed() const { return settings; }
    // Whether the server has answered the com port command `command` (SetBaudRate to SetControl;
    // for SetControl, with a flow control value).
    bool isConfirmed(uint8_t command) const
    {
        return command < 8 && (confirmedMask >> command) & 1;
    }
    bool allConfirmed() const;

    // Why the server cannot be trusted; empty while it can. Once set, receive() reads nothing more.
    QString error() const { return failure; }

private:
    enum class State { Data, Iac, Verb, Sub, SubIac, Failed };
    // One side of an option: off, on, or asked for by us and not yet answered. We never ask to
    // switch an option off, so no state is needed for that.
    enum class Side : uint8_t { No, Yes, WantYes };

    void negotiate(uint8_t verb, uint8_t option, QByteArray &reply);
    bool answer(uint8_t verb, uint8_t option, QByteArray &reply);
    void subnegotiation();
    void fail(const QString &reason);
    QByteArray lineSettings() const;

    State state = State::Data;
    uint8_t verb = 0;
    QByteArray sub;
    // Our side of each option (the server asks with DO/DONT) and the server's (WILL/WONT). An
    // answer goes only to a change of state, never to a request that restates it: two peers never
    // echo each other, and a server that repeats itself is not answered again.
    Side us[256]{};
    Side them[256]{};
    // Answers given for each option, for our side [0] and the server's [1].
    uint8_t answersGiven[2][256]{};
    bool comPortAgreed = false;
    bool comPortDenied = false;
    uint64_t answers = 0;
    uint32_t requestedBaudRate = 0;
    PortSettings settings;
    uint8_t confirmedMask = 0;
    QString failure;
};
