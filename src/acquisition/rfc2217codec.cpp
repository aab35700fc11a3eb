// SPDX-License-Identifier: MIT
#include "rfc2217codec.h"

#include <cstring>

namespace {

bool supported(uint8_t option)
{
    return option == Rfc2217Codec::Binary || option == Rfc2217Codec::SuppressGoAhead
        || option == Rfc2217Codec::ComPortOption;
}

void appendCommand(QByteArray &out, uint8_t verb, uint8_t option)
{
    out.append(char(Rfc2217Codec::IAC));
    out.append(char(verb));
    out.append(char(option));
}

// A com port command; value bytes equal to IAC are doubled, as everywhere inside a subnegotiation.
void appendComPort(QByteArray &out, uint8_t command, const QByteArray &value)
{
    out.append(char(Rfc2217Codec::IAC));
    out.append(char(Rfc2217Codec::SB));
    out.append(char(Rfc2217Codec::ComPortOption));
    out.append(char(command));
    for (char byte : value) {
        out.append(byte);
        if (uint8_t(byte) == Rfc2217Codec::IAC)
            out.append(byte);
    }
    out.append(char(Rfc2217Codec::IAC));
    out.append(char(Rfc2217Codec::SE));
}

QByteArray bigEndian(uint32_t value)
{
    QByteArray bytes(4, '\0');
    for (int k = 0; k < 4; ++k)
        bytes[k] = char((value >> (24 - 8 * k)) & 0xFF);
    return bytes;
}

} // namespace

QByteArray Rfc2217Codec::opening(uint32_t baudRate)
{
    requestedBaudRate = baudRate;
    QByteArray out;
    for (uint8_t option : {Binary, SuppressGoAhead}) {
        us[option] = them[option] = Side::WantYes;
        appendCommand(out, WILL, option);
        appendCommand(out, DO, option);
    }
    us[ComPortOption] = Side::WantYes;
    appendCommand(out, WILL, ComPortOption);
    return out;
}

QByteArray Rfc2217Codec::baudRateQuery()
{
    QByteArray out;
    appendComPort(out, SetBaudRate, bigEndian(0));
    return out;
}

QByteArray Rfc2217Codec::lineSettings() const
{
    QByteArray out;
    appendComPort(out, SetBaudRate, bigEndian(requestedBaudRate));
    appendComPort(out, SetDataSize, QByteArray(1, char(DataSizeEight)));
    appendComPort(out, SetParity, QByteArray(1, char(ParityNone)));
    appendComPort(out, SetStopSize, QByteArray(1, char(StopBitsOne)));
    appendComPort(out, SetControl, QByteArray(1, char(ControlHardwareFlow)));
    return out;
}

bool Rfc2217Codec::allConfirmed() const
{
    for (uint8_t command : {SetBaudRate, SetDataSize, SetParity, SetStopSize, SetControl})
        if (!isConfirmed(command))
            return false;
    return true;
}

void Rfc2217Codec::fail(const QString &reason)
{
    failure = reason;
    state = State::Failed;
    sub.clear();
}

void Rfc2217Codec::receive(const char *bytes, int length, QByteArray &data, QByteArray &reply)
{
    const char *at = bytes;
    const char *const end = bytes + length;
    while (at < end && state != State::Failed) {
        const uint8_t byte = uint8_t(*at);
        switch (state) {
        case State::Data: {
            // Runs of plain data are copied whole: almost every byte of a stream is one.
            const void *iac = std::memchr(at, IAC, size_t(end - at));
            const char *stop = iac ? static_cast<const char *>(iac) : end;
            data.append(at, int(stop - at));
            at = stop;
            if (iac) {
                state = State::Iac;
                ++at;
            }
            continue;
        }
        case State::Iac:
            if (byte == IAC) {
                data.append(char(IAC));
                state = State::Data;
            } else if (byte == DO || byte == DONT || byte == WILL || byte == WONT) {
                verb = byte;
                state = State::Verb;
            } else if (byte == SB) {
                sub.clear();
                state = State::Sub;
            } else {
                state = State::Data; // NOP, go-ahead, data mark and the like carry no data
            }
            break;
        case State::Verb:
            state = State::Data;
            negotiate(verb, byte, reply); // may end in State::Failed
            break;
        case State::Sub:
        case State::SubIac:
            if (state == State::Sub && byte == IAC) {
                state = State::SubIac;
                break;
            }
            if (state == State::Sub || byte == IAC) {
                // Past the bound the server's framing is lost: the board's data would vanish into
                // the subnegotiation while the link looks alive.
                if (sub.size() >= kLongestSubnegotiation) {
                    fail(QStringLiteral("the server sent a subnegotiation of more than %1 bytes "
                                        "without its end (IAC SE)")
                             .arg(kLongestSubnegotiation));
                    return;
                }
                sub.append(char(byte));
                state = State::Sub;
            } else {
                if (byte == SE)
                    subnegotiation();
                // Anything else after IAC inside a subnegotiation is malformed: it ends there.
                state = State::Data;
            }
            break;
        case State::Failed:
            return;
        }
        ++at;
    }
}

bool Rfc2217Codec::answer(uint8_t answerVerb, uint8_t option, QByteArray &reply)
{
    const bool ours = answerVerb == WILL || answerVerb == WONT;
    uint8_t &given = answersGiven[ours ? 0 : 1][option];
    if (!supported(option)) {
        // A refusal stands: a server that asks again (and again) is not answered again.
        if (given > 0)
            return true;
    } else if (given >= kMostAnswersPerOption) {
        fail(QStringLiteral("the server keeps switching telnet option %1 on and off (a "
                            "negotiation loop)")
                 .arg(option));
        return false;
    }
    ++given;
    appendCommand(reply, answerVerb, option);
    return true;
}

void Rfc2217Codec::negotiate(uint8_t request, uint8_t option, QByteArray &reply)
{
    // DO and DONT are about our side of the option, WILL and WONT about the server's.
    const bool ours = request == DO || request == DONT;
    const bool enable = request == DO || request == WILL;
    Side &side = ours ? us[option] : them[option];
    const Side before = side;
    if (enable) {
        if (side == Side::Yes)
            return; // restates what holds
        if (side == Side::WantYes) {
            side = Side::Yes; // our own request granted: nothing to answer
        } else if (!supported(option)) {
            answer(ours ? WONT : DONT, option, reply);
            return;
        } else {
            side = Side::Yes;
            if (!answer(ours ? WILL : DO, option, reply))
                return;
        }
    } else {
        if (side == Side::No)
            return; // restates what holds
        side = Side::No;
        // A refusal of our own request is not answered; switching off what was on is.
        if (before == Side::Yes && !answer(ours ? WONT : DONT, option, reply))
            return;
    }

    if (option == Binary && side == Side::No) {
        // Without binary transfer the server stuffs a NUL after every CR and may strip the eighth
        // bit: frames would arrive changed.
        fail(ours ? QStringLiteral("the server refuses binary transfer to the port (it sent "
                                   "DONT BINARY): the board's bytes would not pass unchanged")
                  : QStringLiteral("the server refuses binary transfer from the port (it sent "
                                   "WONT BINARY): the board's bytes would not pass unchanged"));
        return;
    }
    if (option == ComPortOption) {
        if (ours && side == Side::No && !comPortAgreed)
            comPortDenied = true;
        // The line settings go out once the server has taken up the com port option.
        if (side == Side::Yes && !comPortAgreed) {
            comPortAgreed = true;
            comPortDenied = false;
            reply.append(lineSettings());
        }
    }
}

void Rfc2217Codec::subnegotiation()
{
    if (sub.size() < 2 || uint8_t(sub[0]) != ComPortOption || uint8_t(sub[1]) < ServerOffset)
        return;
    ++answers;
    const QByteArray value = sub.mid(2);
    const uint8_t command = uint8_t(sub[1]) - ServerOffset;
    // A value of 0 is the question itself ("what is it now?"): a server that repeats it, not
    // knowing, has confirmed nothing.
    if (value.isEmpty() || value.count('\0') == value.size())
        return;
    const uint8_t first = uint8_t(value[0]);
    switch (command) {
    case SetBaudRate:
        if (value.size() != 4)
            return;
        settings.baudRate = uint32_t(uint8_t(value[0])) << 24 | uint32_t(uint8_t(value[1])) << 16
            | uint32_t(uint8_t(value[2])) << 8 | uint32_t(uint8_t(value[3]));
        break;
    case SetDataSize:
        settings.dataSize = first;
        break;
    case SetParity:
        settings.parity = first;
        break;
    case SetStopSize:
        settings.stopSize = first;
        break;
    case SetControl:
        // The same command also reports break, DTR and RTS; only the flow control values count
        // here.
        if (first < 1 || first > 3)
            return;
        settings.control = first;
        break;
    default:
        return; // line and modem state notices, the signature: signs of life, nothing to keep
    }
    confirmedMask |= uint8_t(1u << command);
}
